"""The library as a Python program uses it, through ctypes, against a simulated unit."""
import ctypes
import subprocess
import sys
import time
import unittest

LIBRARY, LAMPUNIT = sys.argv[1], sys.argv[2]


class CtypesUse(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.unit = subprocess.Popen([LAMPUNIT, "--model", "4"], stdout=subprocess.PIPE, text=True)
        assert "ready" in cls.unit.stdout.readline()
        cls.lib = ctypes.CDLL(LIBRARY)
        cls.lib.Tcp_Orvik_RW.argtypes = [ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8 * 4),
                                         ctypes.POINTER(ctypes.c_uint8 * 8)]
        cls.lib.Tcp_Orvik_RW.restype = ctypes.c_uint8

    @classmethod
    def tearDownClass(cls):
        cls.unit.terminate()
        cls.unit.wait()

    def exchange(self, frame, address=(192, 168, 10, 200), port=20000):
        address = (ctypes.c_uint8 * 4)(*address)
        frame = (ctypes.c_uint8 * 8)(*frame)
        result = self.lib.Tcp_Orvik_RW(port, ctypes.byref(address), ctypes.byref(frame))
        return result, list(frame)

    def test_write_then_read(self):
        self.assertEqual(self.exchange([1, 4, 2, 100, 100, 100, 100, 3]),
                         (1, [ord("W"), 4, 2, 0, 0, 0, 0, 3]))
        self.assertEqual(self.exchange([0, 4, 0, 100, 100, 100, 100, 100]),
                         (1, [ord("R"), 4, 2, 0, 0, 0, 0, 3]))

    def test_nobody_listening(self):
        start = time.monotonic()
        self.assertEqual(self.exchange([0, 1, 2, 3, 4, 5, 6, 7], port=20999),
                         (0, [ord("R"), 1, 2, 3, 4, 5, 6, 7]))
        self.assertGreater(time.monotonic() - start, 0.9)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

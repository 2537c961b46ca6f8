#!/usr/bin/python3
"""A PLC's requests through pymodbus, one line of output each.

modbus_client.py HOST PORT [--from ADDRESS] OPERATION...
  read-holding:ADDRESS:COUNT  read-input:ADDRESS:COUNT
  write:ADDRESS:VALUE[,VALUE...] (function 16)  write1:ADDRESS:VALUE (function 6)
Prints the registers read ("1 2 3"), "ok" for a write, or "exception N".
"""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse


def main(arguments):
    host, port, rest = arguments[0], int(arguments[1]), arguments[2:]
    source = None
    if rest and rest[0] == "--from":
        source, rest = (rest[1], 0), rest[2:]
    client = ModbusTcpClient(host, port=port, source_address=source, timeout=5, retries=0)
    if not client.connect():
        print("no connection")
        return 1
    for operation in rest:
        kind, address, argument = operation.split(":")
        address = int(address)
        if kind == "read-holding":
            answer = client.read_holding_registers(address, int(argument), slave=1)
        elif kind == "read-input":
            answer = client.read_input_registers(address, int(argument), slave=1)
        elif kind == "write":
            answer = client.write_registers(address, [int(v) for v in argument.split(",")], slave=1)
        else:
            answer = client.write_register(address, int(argument), slave=1)
        if isinstance(answer, ExceptionResponse):
            print("exception", answer.exception_code)
        elif answer.isError():
            print("error", answer)
        elif kind.startswith("read"):
            print(" ".join(str(value) for value in answer.registers))
        else:
            print("ok")
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

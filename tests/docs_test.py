"""The man pages and the bash completion stay in step with the programs:
every option a program's (or lampctl command's) --help lists is in its man
page and the completion, every page formats without warnings, and the
completion completes commands, options and lamp names."""
import re
import subprocess
import sys
import unittest

SOURCES, LAMPCTL, LAMPUNIT, LAMPSEND, LAMPTOWER = sys.argv[1:6]
MAN_PAGE = f"{SOURCES}/lampctl/lampctl.1"
COMPLETION = f"{SOURCES}/lampctl/lampctl.bash"
PAGES = {"lamppanel": "lamppanel/lamppanel.1", "netassign": "netassign/netassign.1",
         "lampctl": "lampctl/lampctl.1", "lampsend": "lamplink/lampsend.1",
         "lampunit": "lampunit/lampunit.1", "lamptower": "lamptower/lamptower.1"}
COMMANDS = ["find", "read", "write", "status", "set", "reset", "poll"]


def options_in(text):
    return sorted(set(re.findall(r"(--[a-z][a-z-]*)", text)) - {"--help"})


def options_of(command):
    return options_in(subprocess.run([LAMPCTL, command, "--help"], capture_output=True,
                                     text=True, check=True).stdout)


def complete(words):
    """What bash completes for the last of `words` (the command line so far)."""
    script = (f"source {COMPLETION}; COMP_WORDS=({' '.join(words)}); "
              f"COMP_CWORD={len(words) - 1}; _lampctl; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
    run = subprocess.run(["bash", "-c", script], capture_output=True, text=True, check=True)
    return sorted(line for line in run.stdout.splitlines() if line)


class ManPage(unittest.TestCase):
    def setUp(self):
        with open(MAN_PAGE, encoding="utf-8") as page:
            self.source = page.read()

    def section(self, command):
        match = re.search(r"^\.SS " + command + r"\n(.*?)(?=^\.SS |^\.SH )", self.source,
                          re.M | re.S)
        self.assertIsNotNone(match, command)
        return match.group(1).replace("\\-", "-")

    def test_every_option_of_every_command_is_described(self):
        for command in COMMANDS:
            section = self.section(command)
            for option in options_of(command):
                self.assertIn(option, section, f"{command} {option}")

    def test_the_page_names_no_option_the_program_lacks(self):
        for command in COMMANDS:
            described = set(re.findall(r"^\.B[I]? (--[a-z-]+)", self.section(command), re.M))
            self.assertLessEqual(described, set(options_of(command)), command)

    def test_every_page_formats_without_warnings(self):
        for program, page in PAGES.items():
            run = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", f"{SOURCES}/{page}"],
                                 capture_output=True, text=True)
            self.assertEqual((run.returncode, run.stderr), (0, ""), program)

    def test_the_other_programs_pages_describe_every_option(self):
        for program, path in (("lampunit", LAMPUNIT), ("lampsend", LAMPSEND),
                              ("lamptower", LAMPTOWER)):
            with open(f"{SOURCES}/{PAGES[program]}", encoding="utf-8") as page:
                text = page.read().replace("\\-", "-")
            helped = subprocess.run([path, "--help"], capture_output=True, text=True).stdout
            for option in options_in(helped) + ["--help", "--version"]:
                self.assertIn(option, text, f"{program} {option}")


class Completion(unittest.TestCase):
    def test_commands(self):
        self.assertEqual(complete(["lampctl", "s"]), ["set", "status"])
        self.assertEqual(complete(["lampctl", "''"]),
                         sorted(COMMANDS + ["--help", "--version"]))

    def test_every_option_of_every_command(self):
        for command in COMMANDS:
            self.assertEqual([o for o in complete(["lampctl", command, "--"]) if o != "--help"],
                             options_of(command), command)

    def test_lamp_names_and_states_after_the_unit(self):
        self.assertEqual(complete(["lampctl", "set", "192.168.10.200", "gr"]),
                         ["green=blink", "green=off", "green=on"])
        self.assertIn("sound=off", complete(["lampctl", "set", "192.168.10.200", "red=on", "s"]))
        self.assertEqual(complete(["lampctl", "set", "19"]), [])  # the unit itself


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

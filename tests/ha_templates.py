#!/usr/bin/env python3
"""Reads a device discovery payload as Home Assistant does: checks the keys
it needs and renders each template with Jinja2 in a sandbox, against a
state payload. Prints one line a result for the test to compare.

usage: ha_templates.py CONFIG.json STATE.json"""
import json
import sys

from jinja2.sandbox import ImmutableSandboxedEnvironment

config = json.load(open(sys.argv[1]))
state = json.load(open(sys.argv[2]))
env = ImmutableSandboxedEnvironment()


def render(template, **variables):
    return env.from_string(template).render(**variables).strip()


for key in ("device", "origin", "components", "availability", "availability_mode"):
    assert key in config, key
assert config["device"]["identifiers"], "identifiers"
print("model", config["device"]["model"])
print("connections", json.dumps(config["device"].get("connections", [])))
print("availability", " ".join(a["topic"] for a in config["availability"]),
      config["availability_mode"])
for name, component in config["components"].items():
    platform = component["platform"]
    assert component["unique_id"], name
    if platform == "select":
        value = render(component["value_template"], value_json=state)
        assert value in component["options"], (name, value)
        print("select", component["name"], value, component["command_topic"])
    elif platform == "siren":
        print("siren", render(component["state_value_template"], value_json=state))
        for tone in component.get("available_tones", []):
            print("tone", tone.strip(), "->",
                  render(component["command_template"], value="ON", tone=tone))
        print("on ->", render(component["command_template"], value="ON"))
        print("off ->", render(component["command_off_template"], value="OFF"))
    elif platform == "button":
        print("button", component["name"], component["command_topic"], component["payload_press"])
    else:
        raise AssertionError("unexpected platform " + platform)

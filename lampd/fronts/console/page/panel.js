// The panel of the selected unit: what it shows, its baseline, its live
// leases (its calls) counting down, its last events, and the controls that send
// commands through lampd, to the unit, to the units the filter shows or to
// a group.
import { send, Unauthorized } from "./api.js";
import { eventText } from "./events.js";
import { lampNames } from "./plant.js";

const lampStates = ["off", "on", "blink"];
const mostIdsAtOnce = 200;  // a request's body stays under lampd's 4 KiB

export class Panel {
  constructor(plant, element, onUnauthorized) {
    this.plant = plant;
    this.element = element;
    this.onUnauthorized = onUnauthorized;
    this.id = "";
    setInterval(() => this.countDown(), 1000);
  }

  open(id) {
    this.id = id;
    this.element.hidden = false;
    this.element.dataset.panel = id;
    // An operator of some groups acts on their units only: the rest it sees.
    const groups = this.person?.role === "operator" ? this.person.groups || [] : [];
    const unit = this.plant.units.get(id);
    this.element.dataset.theirs =
      !groups.length || (unit?.groups || []).some((group) => groups.includes(group)) ? "yes" : "no";
    this.build();
    this.update();
  }

  // Made once a selection: the controls keep their focus across updates.
  build() {
    const unit = this.plant.units.get(this.id);
    this.element.replaceChildren();
    const heading = add(this.element, "h2");
    heading.textContent = this.id;
    this.facts = add(this.element, "p");
    this.shows = add(this.element, "p");
    this.baseline = add(this.element, "p");

    const target = add(this.element, "label");
    target.textContent = "Apply to ";
    target.dataset.needs = "supervisor";
    this.target = add(target, "select");
    this.target.setAttribute("aria-label", "Apply to");
    addOption(this.target, "unit", "this unit");
    addOption(this.target, "shown", "the units shown");
    for (const group of Object.keys(this.plant.groups)) addOption(this.target, `group:${group}`, `group ${group}`);

    const controls = add(this.element, "table");
    controls.className = "controls";
    controls.dataset.needs = "operator";
    for (const lamp of lampNames) {
      const row = add(controls, "tr");
      add(row, "th").textContent = lamp;
      for (const state of lampStates) {
        const cell = add(row, "td");
        button(cell, state, `${lamp} ${state}`, () => this.command({ [lamp]: state }));
      }
    }
    const sounds = add(this.element, "fieldset");
    add(sounds, "legend").textContent = "Sound";
    sounds.dataset.needs = "operator";
    button(sounds, "off", "sound off", () => this.command({ sound: "off" }));
    for (let code = 1; code <= 5; code++) {
      button(sounds, this.plant.soundName(unit, code), `sound ${code}`, () => this.command({ sound: code }));
    }
    button(this.element, "Reset", "Reset", () => this.command({ reset: true })).dataset.needs = "supervisor";
    // Answers the unit's calls: its horn stops, its lamps stay.
    button(this.element, "Acknowledge", "Acknowledge", () => this.acknowledge()).dataset.needs = "operator";

    const form = add(this.element, "form");
    form.className = "lease-form";
    form.dataset.needs = "operator";
    add(form, "legend").textContent = "Hold what the unit shows as a lease";
    this.leaseFor = field(form, "For", "text", "10m");
    this.leasePriority = field(form, "Priority", "number", "5");
    this.leasePriority.min = "0";
    this.leasePriority.max = "9";
    this.leaseSource = field(form, "Source", "text", "console");
    const hold = add(form, "button");
    hold.type = "submit";
    hold.textContent = "Hold";
    form.addEventListener("submit", (event) => {
      event.preventDefault();
      this.hold();
    });

    this.status = add(this.element, "p");
    this.status.setAttribute("role", "status");
    add(this.element, "h3").textContent = "Leases";
    this.leases = add(this.element, "table");
    add(this.element, "h3").textContent = "Last events";
    this.changes = add(this.element, "ul");
    this.changes.className = "changes";
  }

  // The unit changed: what the panel tells follows.
  update() {
    const unit = this.plant.units.get(this.id);
    if (!unit) {
      this.facts.textContent = "This unit is gone.";
      return;
    }
    this.facts.textContent = `${unit.address || ""} · model ${unit.model ?? "?"} · ${unit.online ? "online" : "OFFLINE"}` +
      ` · instance ${unit.instance || "?"}`;
    this.shows.textContent = `Shows: ${unit.online ? describe(unit, this.plant) : "nothing known: offline"}`;
    this.baseline.textContent = `Baseline: ${unit.baseline ? describe(unit.baseline, this.plant, unit) : "none"}`;
    this.leases.replaceChildren();
    for (const lease of unit.leases || []) {
      const row = add(this.leases, "tr");
      row.dataset.source = lease.source;
      row.dataset.acknowledged = lease.acknowledged ? lease.acknowledged.by : "";
      add(row, "td").textContent = `${lease.source} (priority ${lease.priority})` +
        (lease.acknowledged ? `, acknowledged by ${lease.acknowledged.by}` : "");
      add(row, "td").textContent = describe(lease, this.plant, unit);
      const left = add(row, "td");
      left.className = "time-left";
      left.dataset.expires = lease.expires;
      const actions = add(row, "td");
      actions.dataset.needs = "supervisor";
      button(actions, "Clear", `Clear ${lease.source}`, () => this.command({ clear: lease.source }, "unit"));
      button(actions, "everywhere", `Clear ${lease.source} everywhere`, () => this.clearEverywhere(lease.source));
    }
    this.changes.replaceChildren();
    for (const change of [...(unit.changes || [])].reverse()) {
      const item = add(this.changes, "li");
      item.dataset.kind = change.kind;
      item.textContent = eventText(change, false);
    }
    this.countDown();
  }

  countDown() {
    if (!this.leases) return;
    for (const cell of this.leases.querySelectorAll(".time-left")) {
      const seconds = Math.max(0, Math.round((Date.parse(cell.dataset.expires) - this.plant.now()) / 1000));
      cell.textContent = seconds >= 3600 ? `${Math.floor(seconds / 3600)} h ${Math.floor((seconds % 3600) / 60)} min`
        : seconds >= 60 ? `${Math.floor(seconds / 60)} min ${seconds % 60} s` : `${seconds} s`;
    }
  }

  hold() {
    const unit = this.plant.units.get(this.id);
    const body = { for: this.leaseFor.value, priority: Number(this.leasePriority.value), source: this.leaseSource.value };
    if (unit?.lamps) body.lamps = unit.lamps;
    if (unit?.sound !== undefined) body.sound = unit.sound;
    this.command(body);
  }

  clearEverywhere(source) {
    const ids = [...this.plant.units.values()]
      .filter((unit) => (unit.leases || []).some((lease) => lease.source === source))
      .map((unit) => unit.id);
    this.sendTo(ids, { clear: source });
  }

  acknowledge() {
    return this.report(async () => {
      const { status, document } = await send("POST", `/api/console/units/${encodeURIComponent(this.id)}/ack`, {});
      if (status === 200 && document.acknowledged === 0) return { status, document: { id: this.id, note: document.note } };
      return { status, document };
    });
  }

  async command(body, target = this.target.value) {
    if (target === "unit") return this.report(() => send("PUT", `/api/console/units/${encodeURIComponent(this.id)}`, body));
    if (target === "shown") return this.sendTo(this.plant.shown, body);
    const group = target.slice("group:".length);
    return this.report(() => send("POST", `/api/console/groups/${encodeURIComponent(group)}`, body));
  }

  // Many units, a few hundred a request.
  async sendTo(ids, body) {
    await this.report(async () => {
      const total = { answered: 0, failed: [], passed: new Set() };
      for (let at = 0; at < ids.length; at += mostIdsAtOnce) {
        const { status, document } = await send("POST", "/api/console/units", { ...body, ids: ids.slice(at, at + mostIdsAtOnce) });
        if (status >= 400 && !document.units) return { status, document };
        total.answered += (document.units || []).length;
        total.failed.push(...(document.failed || []));
        for (const instance of document.passed_to || []) total.passed.add(instance);
      }
      return { status: 200, document: { units: { length: total.answered }, failed: total.failed, passed_to: [...total.passed] } };
    });
  }

  async report(request) {
    this.status.textContent = "sending…";
    try {
      const { status, document } = await request();
      this.status.textContent = outcome(status, document);
    } catch (error) {
      if (error instanceof Unauthorized) return this.onUnauthorized();
      this.status.textContent = `not sent: ${error.message}`;
    }
  }
}

function outcome(status, document) {
  if (status === 202) return `passed to instance ${document.passed_to}`;
  if (status >= 400) return `refused: ${document.error || status}`;
  if (document.units) {
    const failed = document.failed || [];
    const passed = (document.passed_to || []).length ? `; passed to ${document.passed_to.join(", ")}` : "";
    return `${document.units.length} answered` + (failed.length ? `, ${failed.length} failed: ${failed[0].id}: ${failed[0].error}` : "") + passed;
  }
  return document.note ? `${document.id}: ${document.note}` : `${document.id} answered`;
}

// "red on, green blink, sound Emergency" of a state, a lease or a baseline.
function describe(held, plant, unit = held) {
  const lamps = held.lamps || {};
  const words = lampNames.filter((lamp) => lamps[lamp] && lamps[lamp] !== "off").map((lamp) => `${lamp} ${lamps[lamp]}`);
  if (held.sound !== undefined && held.sound !== "off") words.push(`sound ${held.sound} (${plant.soundName(unit, Number(held.sound))})`);
  const offs = lampNames.filter((lamp) => lamps[lamp] === "off");
  if (!words.length) return offs.length ? "all off" : "nothing";
  return words.join(", ");
}

function add(parent, tag) {
  const element = document.createElement(tag);
  parent.append(element);
  return element;
}

function addOption(select, value, text) {
  const option = add(select, "option");
  option.value = value;
  option.textContent = text;
}

function button(parent, text, name, action) {
  const element = add(parent, "button");
  element.type = "button";
  element.textContent = text;
  element.setAttribute("aria-label", name);
  element.addEventListener("click", action);
  return element;
}

function field(form, name, type, value) {
  const label = add(form, "label");
  label.textContent = `${name} `;
  const input = add(label, "input");
  input.type = type;
  input.value = value;
  input.name = name.toLowerCase();
  return input;
}

// The plant as the page knows it: every unit by id, as lampd's stream
// tells it, the filter over them and the counts of the bar.

export const lampNames = ["red", "yellow", "green", "blue", "white"];

export class Plant {
  constructor() {
    this.units = new Map();
    this.sounds = {};  // model -> the five sound names
    this.groups = {};  // name -> ids
    this.instance = "";
    this.clockOffset = 0;  // lampd's wall clock minus ours, for counting down leases
    this.filterWords = [];
    this.shown = [];
  }

  load(snapshot) {
    this.units = new Map(snapshot.units.map((unit) => [unit.id, withOrder(unit)]));
    this.sounds = snapshot.sounds;
    this.groups = snapshot.groups;
    this.instance = snapshot.instance;
    this.tick(snapshot.now);
  }

  tick(now) {
    this.clockOffset = now - Date.now();
  }

  now() {
    return Date.now() + this.clockOffset;
  }

  setFilter(text) {
    this.filterWords = text.toLowerCase().split(/\s+/).filter((word) => word);
  }

  // Whether a unit shows under the filter: every word must hold of it.
  matches(unit) {
    return this.filterWords.every((word) => matchesWord(unit, word));
  }

  // The ids the filter shows, in the order of their addresses, as the towers stand.
  refreshShown() {
    const shown = [...this.units.values()].filter((unit) => this.matches(unit));
    shown.sort((a, b) => a.order - b.order || compareIds(a.id, b.id));
    this.shown = shown.map((unit) => unit.id);
    return this.shown;
  }

  counts() {
    const counts = { units: this.units.size, online: 0, offline: 0, red: 0, leased: 0 };
    for (const unit of this.units.values()) {
      counts[unit.online ? "online" : "offline"]++;
      if (lit(unit, "red")) counts.red++;
      if ((unit.leases || []).length > 0) counts.leased++;
    }
    return counts;
  }

  soundName(unit, code) {
    const names = this.sounds[String(unit.model)];
    return names ? names[code - 1] : `sound ${code}`;
  }
}

export function lit(unit, lamp) {
  if (!unit.online || !unit.lamps) return false;
  const state = unit.lamps[lamp];
  return state === "on" || state === "blink";
}

function matchesWord(unit, word) {
  if (word === "offline") return !unit.online;
  if (word === "online") return !!unit.online;
  if (word === "leased") return (unit.leases || []).length > 0;
  if (word === "sound") return !!unit.online && unit.sound !== undefined && unit.sound !== "off";
  if (lampNames.includes(word) && lit(unit, word)) return true;
  const texts = [unit.id, unit.address || "", unit.instance || "", unit.mac || "", ...(unit.groups || [])];
  return texts.some((text) => text.toLowerCase().includes(word));
}

// A unit with its place in the order of addresses, worked out once.
export function withOrder(unit) {
  unit.order = addressOrder(unit);
  return unit;
}

// "10.20.1.7:20000" as a number that sorts as addresses do.
function addressOrder(unit) {
  const match = /^(\d+)\.(\d+)\.(\d+)\.(\d+):(\d+)$/.exec(unit.address || "");
  if (!match) return Number.MAX_SAFE_INTEGER;
  const [a, b, c, d, port] = match.slice(1).map(Number);
  return (((a * 256 + b) * 256 + c) * 256 + d) * 65536 + port;
}

// "u2" before "u10": numbers inside ids sort as numbers.
const collator = new Intl.Collator("en", { numeric: true });
export function compareIds(a, b) {
  return collator.compare(a, b);
}

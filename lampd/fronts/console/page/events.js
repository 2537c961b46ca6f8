// The plant's events as the journal records them, newest first: the last
// few hundred, each added as lampd tells of it, filtered as the towers are.
export class EventList {
  static kept = 200;

  constructor(plant, element) {
    this.plant = plant;
    this.element = element;
    this.events = [];
    this.pending = false;
  }

  load(events) {
    this.events = events.slice(0, EventList.kept);
    this.draw();
  }

  add(event) {
    if (this.events.length && event.seq && this.events[0].seq >= event.seq) return;
    this.events.unshift(event);
    if (this.events.length > EventList.kept) this.events.pop();
    if (this.pending) return;
    this.pending = true;
    setTimeout(() => {
      this.pending = false;
      this.draw();
    }, 100);
  }

  // An event shows when the filter shows its unit, or its own words hold every word.
  shows(event) {
    const unit = event.unit && this.plant.units.get(event.unit);
    if (unit && this.plant.matches(unit)) return true;
    const text = [event.unit, event.group, event.kind, event.origin, event.source, event.who, event.reason]
      .filter((word) => word).join(" ").toLowerCase();
    return this.plant.filterWords.every((word) => text.includes(word));
  }

  draw() {
    const items = this.events.filter((event) => this.shows(event)).map((event) => {
      const item = document.createElement("li");
      item.dataset.kind = event.kind;
      item.dataset.eventOf = event.unit || event.group || "";
      item.textContent = eventText(event, true);
      return item;
    });
    this.element.replaceChildren(...items);
  }
}

// "12:04:31 ack press-3 by anna over mqtt: on my way", as a person reads it.
export function eventText(event, withUnit) {
  const parts = [new Date(event.at).toLocaleTimeString(), event.kind];
  if (withUnit && (event.unit || event.group)) parts.push(event.unit || `group ${event.group}`);
  if (event.source) parts.push(`of ${event.source}`);
  if (event.who) parts.push(`by ${event.who}`);
  if (event.origin) parts.push(`over ${event.origin}`);
  const what = event.what ? whatText(event.what) : "";
  const tail = [what, event.reason].filter((text) => text).join("; ");
  return parts.join(" ") + (tail ? `: ${tail}` : "");
}

function whatText(what) {
  const words = Object.entries(what.lamps || {}).map(([lamp, state]) => `${lamp} ${state}`);
  if (what.sound !== undefined) words.push(`sound ${what.sound}`);
  return words.join(", ");
}

// The towers, drawn as a grid of which only the rows in view (and one
// either side) exist: 10,000 units cost the page no more than a screenful,
// and a unit's change updates its tower in place when it is in view.
import { lampNames } from "./plant.js";

const towerWidth = 112;
const towerHeight = 156;

export class Towers {
  constructor(plant, scroller, area, onSelect) {
    this.plant = plant;
    this.scroller = scroller;
    this.area = area;
    this.onSelect = onSelect;
    this.columns = 1;
    this.drawn = new Map();  // id -> element
    this.selected = "";
    this.pending = false;
    scroller.addEventListener("scroll", () => this.drawSoon());
    new ResizeObserver(() => this.drawSoon()).observe(scroller);
    area.addEventListener("click", (event) => {
      const tower = event.target.closest(".tower");
      if (tower) this.onSelect(tower.dataset.unit);
    });
    area.addEventListener("keydown", (event) => this.onKey(event));
  }

  drawSoon() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.draw();
    });
  }

  // Places the towers of the rows in view; towers that left the view go.
  draw() {
    const shown = this.plant.shown;
    this.columns = Math.max(1, Math.floor(this.scroller.clientWidth / towerWidth));
    const rows = Math.ceil(shown.length / this.columns);
    this.area.style.height = `${rows * towerHeight}px`;
    const first = Math.max(0, Math.floor(this.scroller.scrollTop / towerHeight) - 1);
    const last = Math.min(rows, Math.ceil((this.scroller.scrollTop + this.scroller.clientHeight) / towerHeight) + 1);
    const wanted = new Map();
    for (let index = first * this.columns; index < Math.min(shown.length, last * this.columns); index++) {
      wanted.set(shown[index], index);
    }
    for (const [id, element] of this.drawn) {
      if (!wanted.has(id) && element !== document.activeElement) {
        element.remove();
        this.drawn.delete(id);
      }
    }
    for (const [id, index] of wanted) {
      let element = this.drawn.get(id);
      if (!element) {
        element = makeTower();
        this.area.append(element);
        this.drawn.set(id, element);
        this.fill(element, this.plant.units.get(id));
      }
      element.style.left = `${(index % this.columns) * towerWidth}px`;
      element.style.top = `${Math.floor(index / this.columns) * towerHeight}px`;
    }
  }

  // One unit changed: its tower, if drawn, shows it now.
  update(id) {
    const element = this.drawn.get(id);
    const unit = this.plant.units.get(id);
    if (element && unit) this.fill(element, unit);
  }

  select(id) {
    this.drawn.get(this.selected)?.setAttribute("aria-pressed", "false");
    this.selected = id;
    this.drawn.get(id)?.setAttribute("aria-pressed", "true");
  }

  fill(element, unit) {
    element.dataset.unit = unit.id;
    element.dataset.online = String(!!unit.online);
    element.dataset.instance = unit.instance || "";
    element.setAttribute("aria-pressed", String(unit.id === this.selected));
    const words = [];
    lampNames.forEach((lamp, i) => {
      // What an offline unit showed last is not shown as if it were live.
      const state = unit.online && unit.lamps ? unit.lamps[lamp] : "off";
      const lampElement = element.children[i];
      lampElement.dataset.state = state;
      lampElement.textContent = state === "off" ? "" : state;
      if (state !== "off") words.push(`${lamp} ${state}`);
    });
    const sound = element.querySelector(".sound");
    const code = unit.online && unit.sound !== undefined ? String(unit.sound) : "off";
    sound.dataset.sound = code;
    sound.textContent = code === "off" ? "" : `♪ ${this.plant.soundName(unit, Number(code))}`;
    if (code !== "off") words.push(`sound ${code}`);
    element.querySelector(".unit-id").textContent = unit.id;
    element.querySelector(".address").textContent = unit.address || "";
    element.querySelector(".state-word").textContent = unit.online
      ? `model ${unit.model ?? "?"}${(unit.leases || []).length ? " · leased" : ""}`
      : "OFFLINE";
    element.setAttribute("aria-label", `${unit.id}, ${unit.online ? "online" : "offline"}` +
      (unit.online ? `, ${words.length ? words.join(", ") : "all off"}` : ""));
  }

  // Arrow keys move between towers; Enter or Space opens one.
  onKey(event) {
    const tower = event.target.closest(".tower");
    if (!tower) return;
    const shown = this.plant.shown;
    const index = shown.indexOf(tower.dataset.unit);
    const step = { ArrowLeft: -1, ArrowRight: 1, ArrowUp: -this.columns, ArrowDown: this.columns }[event.key];
    if (event.key === "Enter" || event.key === " ") {
      event.preventDefault();
      this.onSelect(tower.dataset.unit);
    } else if (step !== undefined) {
      event.preventDefault();
      const next = Math.min(shown.length - 1, Math.max(0, index + step));
      this.scroller.scrollTop = Math.max(0, Math.floor(next / this.columns) * towerHeight - this.scroller.clientHeight / 2);
      this.draw();
      this.drawn.get(shown[next])?.focus();
    }
  }
}

function makeTower() {
  const element = document.createElement("div");
  element.className = "tower";
  element.tabIndex = 0;
  element.setAttribute("role", "button");
  for (const lamp of lampNames) {
    const lampElement = document.createElement("span");
    lampElement.className = "lamp";
    lampElement.dataset.lamp = lamp;
    element.append(lampElement);
  }
  for (const name of ["sound", "unit-id", "unit-line address", "unit-line state-word"]) {
    const line = document.createElement("span");
    line.className = name;
    element.append(line);
  }
  return element;
}

// The operator console: the plant drawn from lampd's stream, kept live, a
// filter, the counts, and the selected unit's panel. The stream is read
// again from the start after any break (lampd restarted, the network
// dropped): each start brings the whole plant, so nothing stays stale.
import { readStream, send, session, setToken, signIn, signOut, Unauthorized } from "./api.js";
import { EventList } from "./events.js";
import { Panel } from "./panel.js";
import { Plant, withOrder } from "./plant.js";
import { Towers } from "./towers.js";

const silentLimit = 25000;  // lampd says something every 10 s; longer silence is a lost stream

const plant = new Plant();
const connection = document.getElementById("connection");
const filter = document.getElementById("filter");
const towers = new Towers(plant, document.getElementById("plant"), document.getElementById("towers"), select);
const panel = new Panel(plant, document.getElementById("panel"), askWhoItIs);
const events = new EventList(plant, document.getElementById("event-list"));
let refreshPending = false;
let reshowPending = false;

function setConnection(state, text) {
  connection.dataset.connection = state;
  connection.textContent = text;
}

function select(id) {
  towers.select(id);
  panel.open(id);
}

// The filter or the set of units changed: which are shown, and the counts.
function refresh(reshow = true) {
  if (reshow) {
    plant.refreshShown();
    towers.drawSoon();
  }
  const counts = plant.counts();
  for (const name of ["units", "online", "offline", "red", "leased"]) {
    document.getElementById(`count-${name}`).textContent = counts[name];
  }
  events.draw();
  const shown = document.getElementById("count-shown");
  shown.textContent = plant.shown.length;
  shown.dataset.count = plant.shown.length;
}

// Many changes in one moment make one refresh; the towers shown are worked
// out again only when a change may have moved a unit in or out of them.
function refreshSoon(reshow) {
  reshowPending = reshowPending || reshow;
  if (refreshPending) return;
  refreshPending = true;
  setTimeout(() => {
    refreshPending = false;
    const again = reshowPending;
    reshowPending = false;
    refresh(again);
  }, 100);
}

function drawGroups() {
  const nav = document.getElementById("groups");
  nav.replaceChildren();
  for (const name of Object.keys(plant.groups)) {
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = name;
    button.setAttribute("aria-label", `show group ${name}`);
    button.addEventListener("click", () => {
      filter.value = name;
      plant.setFilter(name);
      refresh();
    });
    nav.append(button);
  }
}

function onEvent(name, data) {
  if (name === "plant") {
    performance.mark("plant-received");
    plant.load(data);
    drawGroups();
    for (const id of towers.drawn.keys()) towers.update(id);
    refresh();
    if (panel.id) panel.update();
    setConnection("live", `live: ${plant.instance}`);
    // The journal's last events, then each as it happens.
    send("GET", `/api/events?limit=${EventList.kept}`).then(({ status, document }) => {
      if (status === 200) events.load(document.events);
    }, () => {});
    performance.mark("plant-drawn");
  } else if (name === "unit") {
    const before = plant.units.get(data.id);
    plant.units.set(data.id, withOrder(data));
    towers.update(data.id);
    if (panel.id === data.id) panel.update();
    const reshow = !before || before.order !== data.order || plant.matches(before) !== plant.matches(data);
    if (reshow || before.online !== data.online || (before.leases || []).length !== (data.leases || []).length ||
        before.lamps?.red !== data.lamps?.red) {
      refreshSoon(reshow);
    }
  } else if (name === "gone") {
    plant.units.delete(data.id);
    refreshSoon(true);
  } else if (name === "event") {
    events.add(data);
  } else if (name === "tick") {
    plant.tick(data.now);
  }
}

// Who the page is for: shown, with what the role may do; asked for when
// nobody is signed in (a name and a password, or lampd's token).
let asking = null;
async function askWhoItIs() {
  const person = await session();
  if (person.name) return showPerson(person);
  if (person.open) return undefined;
  return person.sign_in ? askToSignIn() : askForToken();
}

function showPerson(person) {
  panel.person = person;
  document.body.dataset.role = person.role;
  document.getElementById("person-name").textContent = `${person.name} (${person.role})`;
  document.getElementById("person").hidden = false;
}

function askToSignIn() {
  if (asking) return asking;
  const dialog = document.getElementById("sign-in-dialog");
  const name = document.getElementById("sign-in-name");
  const password = document.getElementById("sign-in-password");
  const error = document.getElementById("sign-in-error");
  asking = new Promise((resolve) => {
    document.getElementById("sign-in-form").onsubmit = async (event) => {
      event.preventDefault();
      try {
        showPerson(await signIn(name.value, password.value));
        password.value = "";
        error.textContent = "";
        dialog.close();
        asking = null;
        resolve();
      } catch (refused) {
        error.textContent = refused.message;
      }
    };
  });
  if (!dialog.open) dialog.showModal();
  name.focus();
  return asking;
}

document.getElementById("sign-out").addEventListener("click", async () => {
  await signOut();
  location.reload();
});

function askForToken() {
  if (asking) return asking;
  const dialog = document.getElementById("token-dialog");
  const field = document.getElementById("token");
  asking = new Promise((resolve) => {
    document.getElementById("token-form").onsubmit = () => {
      setToken(field.value);
      field.value = "";
      asking = null;
      resolve();
    };
  });
  if (!dialog.open) dialog.showModal();
  field.focus();
  return asking;
}

async function stayConnected() {
  let wait = 500;
  for (;;) {
    const abort = new AbortController();
    let heard = Date.now();
    const watchdog = setInterval(() => {
      if (Date.now() - heard > silentLimit) abort.abort();
    }, 1000);
    try {
      setConnection("connecting", "connecting");
      await readStream(abort.signal, (name, data) => {
        wait = 500;
        onEvent(name, data);
      }, () => {
        heard = Date.now();
      });
      setConnection("lost", "lampd closed the stream: reconnecting");
    } catch (error) {
      if (error instanceof Unauthorized) {
        setConnection("lost", "lampd asks who you are");
        document.getElementById("token-error").textContent = sessionStorage.length ? "lampd did not take that token." : "";
        await askWhoItIs();
        continue;
      }
      // Why, as lampd said it or as fetch did ("Failed to fetch": lampd is not there).
      setConnection("lost", `${error.message === "Failed to fetch" ? "lampd cannot be reached" : error.message}: reconnecting`);
    } finally {
      clearInterval(watchdog);
    }
    await new Promise((resolve) => setTimeout(resolve, wait));
    wait = Math.min(wait * 2, 5000);
  }
}

filter.addEventListener("input", () => {
  plant.setFilter(filter.value);
  refresh();
});
stayConnected();
// Who the page is for, shown with what the role may do (a 401 asks for it).
session().then((person) => {
  if (person.name) showPerson(person);
});

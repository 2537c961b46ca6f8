// lampd's API as the console uses it: every request with the session's
// cookie (signed in with a name and a password) or the token the page was
// given (kept for the browser session, never in a URL), and the update
// stream read as Server-Sent Events over fetch, which, unlike EventSource,
// can carry the token in a header.

const tokenKey = "lampd-token";

export class Unauthorized extends Error {}

export function token() {
  return sessionStorage.getItem(tokenKey) || "";
}

export function setToken(value) {
  sessionStorage.setItem(tokenKey, value);
}

function headers(extra = {}) {
  const given = token();
  return given ? { ...extra, Authorization: `Bearer ${given}` } : extra;
}

// Who this page is for: {name, role, groups}, {open: true} when lampd asks
// nobody, or {error, sign_in} when nobody is signed in.
export async function session() {
  const reply = await fetch("/api/session", { headers: headers(), cache: "no-store" });
  return reply.json().catch(() => ({}));
}

// Signs in: the person, or throws with lampd's reason.
export async function signIn(name, password) {
  const reply = await fetch("/api/session", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ name, password }),
  });
  const document = await reply.json().catch(() => ({}));
  if (!reply.ok) throw new Error(document.error || `lampd answered ${reply.status}`);
  return document;
}

export async function signOut() {
  sessionStorage.removeItem(tokenKey);
  await fetch("/api/session", { method: "DELETE" });
}

// A command through lampd's one command path: the answer's JSON and status.
export async function send(method, path, body) {
  const reply = await fetch(path, {
    method,
    headers: headers({ "Content-Type": "application/json" }),
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  if (reply.status === 401) throw new Unauthorized();
  const text = await reply.text();
  let document = {};
  try {
    document = text ? JSON.parse(text) : {};
  } catch {
    document = { error: text };
  }
  return { status: reply.status, document };
}

// Reads the stream until it ends, calling onEvent(name, data) for each event.
// Throws Unauthorized on 401; returns when the stream ends or `signal` aborts.
export async function readStream(signal, onEvent, onBytes) {
  const reply = await fetch("/api/stream", { headers: headers(), signal, cache: "no-store" });
  if (reply.status === 401) throw new Unauthorized();
  if (!reply.ok || !reply.body) {
    const why = await reply.json().then((body) => body.error, () => "");
    throw new Error(why || `lampd answered ${reply.status}`);
  }
  const reader = reply.body.pipeThrough(new TextDecoderStream()).getReader();
  // The first event holds the whole plant (megabytes): its end is looked
  // for only in what came since the last look.
  let pending = "";
  let searched = 0;
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    onBytes();
    pending += value;
    let end;
    while ((end = pending.indexOf("\n\n", Math.max(0, searched - 1))) >= 0) {
      const block = pending.slice(0, end);
      pending = pending.slice(end + 2);
      searched = 0;
      let name = "message";
      let data = "";
      for (const line of block.split("\n")) {
        if (line.startsWith("event: ")) name = line.slice(7);
        else if (line.startsWith("data: ")) data += line.slice(6);
      }
      if (data) onEvent(name, JSON.parse(data));
    }
    searched = pending.length;
  }
}

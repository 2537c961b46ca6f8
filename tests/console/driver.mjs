// Debian's Chromium, headless, driven for the console's tests and benchmark:
// one request a line on standard input (JSON), one answer a line on
// standard output ({"ok": true, "value": ...} or {"ok": false, "error": ...}).
// Pages are numbered as opened; each has a browser context of its own (its
// own session, as another operator's browser would).
import { createInterface } from "node:readline";
import { chromium } from "playwright-core";

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
const pages = [];

// A locator from {role, name} (an accessible name, exact), {label} or {css}.
function locate(page, target) {
  if (target.role) return page.getByRole(target.role, { name: target.name, exact: true });
  if (target.label) return page.getByLabel(target.label, { exact: true });
  return page.locator(target.css);
}

const actions = {
  async open({ url, width = 1280, height = 800 }) {
    // lampd's certificate is made for the test: trusted as a plant trusts its own.
    const context = await browser.newContext({ viewport: { width, height }, ignoreHTTPSErrors: true });
    const page = await context.newPage();
    page.on("console", (message) => {
      if (message.type() === "error") process.stderr.write(`page ${pages.length}: ${message.text()}\n`);
    });
    await page.goto(url);
    pages.push(page);
    return pages.length - 1;
  },
  async click({ page, target }) {
    await locate(pages[page], target).click({ timeout: 10000 });
  },
  async fill({ page, target, value }) {
    await locate(pages[page], target).fill(value, { timeout: 10000 });
  },
  async select({ page, target, value }) {
    await locate(pages[page], target).selectOption(value, { timeout: 10000 });
  },
  async press({ page, key }) {
    await pages[page].keyboard.press(key);
  },
  async focused({ page }) {
    return pages[page].evaluate(() => {
      const element = document.activeElement;
      return element ? element.dataset.unit || element.getAttribute("aria-label") || element.id || element.tagName : "";
    });
  },
  // Waits until `expression` (a function body over `arg`) is true in the page.
  async until({ page, expression, arg = null, timeout = 10000 }) {
    await pages[page].waitForFunction(new Function("arg", expression), arg, { timeout, polling: 20 });
  },
  async evaluate({ page, expression, arg = null }) {
    return pages[page].evaluate(new Function("arg", expression), arg);
  },
  async screenshot({ page, path }) {
    await pages[page].screenshot({ path });
  },
  async cookies({ page }) {
    return pages[page].context().cookies();
  },
  async reload({ page }) {
    await pages[page].reload();
  },
};

const lines = createInterface({ input: process.stdin });
for await (const line of lines) {
  let answer;
  try {
    const request = JSON.parse(line);
    answer = { ok: true, value: (await actions[request.do](request)) ?? null };
  } catch (error) {
    answer = { ok: false, error: String(error.message || error).split("\n")[0] };
  }
  process.stdout.write(`${JSON.stringify(answer)}\n`);
}
await browser.close();

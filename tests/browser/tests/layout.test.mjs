// How the page looks: its breakpoints, and screenshots at 1280 and 480 px for people to
// look at (saved in the build folder's browser-screenshots/).
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import {
  Client, Gateway, httpRequest, launchBrowser, openConsole, screenshot, SUITE_TIMEOUT_MS, waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe("layout", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("layout at its breakpoints", async () => {
    // The longest device name there can be: long addresses must not widen the page.
    const sub = "a-device-name-of-forty-characters-length";
    assert.equal(sub.length, 40);
    await withConsole(browser, { gw: null, sub, args: ["--http", "8080"] }, async ({ page }) => {
      const layout = () => page.evaluate(() => {
        const style = (selector) => getComputedStyle(document.querySelector(selector));
        const table = document.querySelector(".table-scroll");
        return [
          style(".sidebar").display !== "none",
          style(".cards").gridTemplateColumns.split(" ").length,
          style(".head").flexDirection === "column",
          style(".row").flexDirection === "column",
          document.documentElement.scrollWidth > window.innerWidth,
          table.scrollWidth > table.clientWidth,
        ];
      });
      // width: [sidebar shown, card columns, head stacked, form rows stacked,
      //         page wider than the window, mapping table scrolls]
      const cases = [
        [1280, [true, 4, false, false, false, false]],
        [1050, [true, 4, false, false, false, true]],
        [1049, [true, 2, false, false, false, true]],
        [760, [true, 2, false, false, false, true]],
        [759, [false, 2, true, true, false, true]],
        [480, [false, 2, true, true, false, true]],
        [479, [false, 1, true, true, false, true]],
        [360, [false, 1, true, true, false, true]],
      ];
      for (const [width, expected] of cases) {
        await page.setViewportSize({ width, height: 800 });
        assert.deepEqual(await layout(), expected, `${width} px`);
      }
      // The top bar is 48 px high and stays at the top when the page scrolls.
      await page.evaluate(() => window.scrollTo(0, 600));
      const bar = await page.locator(".topbar").boundingBox();
      assert.deepEqual([bar.y, bar.height], [0, 48]);
    });
  });

  test("screenshots at 1280 and 480 px", async () => {
    const gw = await Gateway.start(["--max-mappings", "2", "--daily-quota", "10M"]);
    const args = ["--http", "8080", "--http", "5173", "--http", "3000"];
    const client = await Client.start({ gw, sub: "kite", args });
    try {
      // A protected mapping, one beyond the plan, a target on the network and a
      // connected device: everything the table can show.
      await httpRequest(client.uiPort, "POST", "/api/ports", JSON.stringify({ ports: [
        { port: 8080, host: "127.0.0.1" }, { port: 5173, host: "nas.lan" }, { port: 3000, host: "127.0.0.1" }] }));
      await httpRequest(client.uiPort, "POST", "/api/access", JSON.stringify({ port: 8080, password: "pw" }));
      await waitFor("the client to connect with its two mappings", async () => {
        const state = await client.state();
        return state?.connected === true && state.connection_error === "" && state.max_mappings === 2;
      });
      for (const width of [1280, 480]) {
        const session = await openConsole(browser, client, { width, height: 900 });
        await screenshot(session.page, `console-${width}`);
        await session.page.click('#mappings button[data-action="edit"][data-port="5173"]');
        await session.page.clock.runFor(30);
        await screenshot(session.page, `mapping-dialog-${width}`, { fullPage: false });
        await session.page.keyboard.press("Escape");
        await session.page.click('#mappings button[data-action="password"][data-port="8080"]');
        await screenshot(session.page, `password-dialog-${width}`, { fullPage: false });
        assert.deepEqual(session.pageErrors, []);
        assert.deepEqual(session.outside, []);
        assert.deepEqual(session.requests.filter((r) => /\/api\/(invite|punch)/.test(r)), []);
        await session.context.close();
      }
    } finally {
      await client.dispose();
      await gw.stop();
    }
  });
});

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
          style("#mappings tr").display === "block",
        ];
      });
      // width: [sidebar shown, card columns, head stacked, form rows stacked,
      //         page wider than the window, mapping table scrolls, one card per mapping]
      const cases = [
        [1280, [true, 4, false, false, false, false, false]],
        [1100, [true, 4, false, false, false, false, false]],
        [1099, [true, 4, false, false, false, false, true]],
        [1050, [true, 4, false, false, false, false, true]],
        [1049, [true, 2, false, false, false, false, true]],
        [760, [true, 2, false, false, false, false, true]],
        [759, [false, 2, true, true, false, false, true]],
        [480, [false, 2, true, true, false, false, true]],
        [479, [false, 1, true, true, false, false, true]],
        [360, [false, 1, true, true, false, false, true]],
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

  test("rows, figures and addresses fit at every width from 480 px up", async () => {
    const sub = "a-device-name-of-forty-characters-length";
    await withConsole(browser, { gw: null, sub, args: ["--http", "8080"] }, async ({ page }) => {
      // Everything a row can hold: a protected mapping (six buttons) and one beyond the
      // plan on a network host, both at addresses of the longest device name there is.
      await page.evaluate((name) => renderState({
        sub: name, domain: "page.localhost", usage_used: 1536, usage_limit: 10485760, ports: [
          { port: 8080, host: "127.0.0.1", url: `https://${name}-8080.page.localhost`, protected: true },
          { port: 65535, host: "nas.lan", url: `https://${name}-65535.page.localhost`, plan_limited: true },
        ],
      }), sub);
      const fit = () => page.evaluate(() => {
        // The text before each line break inside the element.
        const breaksIn = (node) => {
          const chars = [];
          const range = document.createRange();
          const walker = document.createTreeWalker(node, NodeFilter.SHOW_TEXT);
          for (let t = walker.nextNode(); t; t = walker.nextNode()) {
            for (let i = 0; i < t.length; i++) {
              range.setStart(t, i);
              range.setEnd(t, i + 1);
              const box = range.getClientRects()[0];
              if (box) chars.push({ ch: t.data[i], top: box.top });
            }
          }
          const breaks = [];
          for (let i = 1; i < chars.length; i++) {
            if (chars[i].top > chars[i - 1].top + 1) breaks.push(chars.slice(0, i).map((c) => c.ch).join(""));
          }
          return breaks;
        };
        const panel = document.querySelector("#mappings").closest(".panel").getBoundingClientRect();
        const scroller = document.querySelector(".table-scroll");
        const links = [...document.querySelectorAll("#mappings td.url a")];
        return {
          buttons: document.querySelectorAll("#mappings button").length,
          outside: [...document.querySelectorAll("#mappings button")]
            .filter((b) => { const r = b.getBoundingClientRect(); return r.left < panel.left || r.right > panel.right; })
            .map((b) => `${b.dataset.action} ${b.dataset.port}`),
          tableScrolls: scroller.scrollWidth > scroller.clientWidth,
          pageScrolls: document.documentElement.scrollWidth > window.innerWidth,
          traffic: document.querySelector("#trafficValue").textContent,
          brokenFigures: [...document.querySelectorAll("#trafficValue .figure")]
            .filter((f) => breaksIn(f).length > 0).map((f) => f.textContent),
          addressLines: links.map((a) => breaksIn(a).length + 1),
          midWord: links.flatMap((a) => breaksIn(a).filter((before) => !/(\/\/|[.-])$/.test(before))),
        };
      });
      // Both layouts, at their edges and between them.
      for (const width of [480, 759, 760, 1000, 1099, 1100, 1280, 1600]) {
        await page.setViewportSize({ width, height: 900 });
        const found = await fit();
        assert.equal(found.buttons, 11, `${width} px`);
        assert.deepEqual(found.outside, [], `${width} px: buttons outside the card`);
        assert.equal(found.tableScrolls, false, `${width} px`);
        assert.equal(found.pageScrolls, false, `${width} px`);
        assert.equal(found.traffic, "1.5 KB / 10 MB");
        assert.deepEqual(found.brokenFigures, [], `${width} px: figures broken`);
        assert.deepEqual(found.midWord, [], `${width} px: addresses broken inside a word`);
        if (width === 480) assert.ok(found.addressLines.every((n) => n > 1), "long addresses wrap at 480 px");
      }
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

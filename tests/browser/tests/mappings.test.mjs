// Adding and editing mappings, against the real client: the
// key file and the gateway stand-in show what each change did.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import {
  DOMAIN, launchBrowser, mappingButton, mappingTargets, pageCalls, posted, registered, SUITE_TIMEOUT_MS, text, visible, waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe("mappings", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("adding a mapping saves it and reconnects with it", async () => {
    await withConsole(browser, { sub: "kite", args: ["--http", "8080"] }, async ({ gw, client, page }) => {
      await registered(gw, [8080]);
      const before = gw.log.length;
      await page.fill("#host", " Nas.Lan ");
      await page.fill("#port", "9090");
      const body = await posted(page, "/api/ports", () => page.press("#port", "Enter"));
      assert.deepEqual(body, { ports: [{ port: 8080, host: "127.0.0.1" }, { port: 9090, host: "nas.lan" }] });
      await waitFor("the new row", async () => (await mappingTargets(page)).length === 2);
      assert.deepEqual(await mappingTargets(page), ["127.0.0.1:8080", "nas.lan:9090"]);
      assert.equal(await page.inputValue("#port"), "");
      assert.equal(await text(page, "#mappingCount"), "共 2 条");
      assert.equal(client.keyLine("ports"), "8080,9090");
      assert.equal(client.keyLine("targets"), "8080@127.0.0.1,9090@nas.lan");
      await registered(gw, [8080, 9090], before);
      assert.match(await gw.admin("status"), /devices=kite\(8080 9090;/);

      // The button does the same as Enter.
      await page.fill("#host", "127.0.0.1");
      await page.fill("#port", "22");
      const clicked = await posted(page, "/api/ports", () => page.click("#add"));
      assert.deepEqual(clicked.ports.map((p) => p.port), [8080, 9090, 22]);
      await waitFor("the third row", async () => (await mappingTargets(page)).length === 3);
      assert.equal(client.keyLine("ports"), "8080,9090,22");
      assert.equal(await visible(page, "#error"), false);
    });
  });

  test("bad input and a port already mapped are refused before any request", async () => {
    await withConsole(browser, { gw: null, args: ["--http", "8080"] }, async ({ page }) => {
      const cases = [
        { host: "0.0.0.0", port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "a b", port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "   ", port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "-nas", port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "nas.", port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "a".repeat(254), port: "80", error: "请输入可从本机访问的目标 IP 或主机名。" },
        { host: "127.0.0.1", port: "", error: "端口范围是 1 到 65535。" },
        { host: "127.0.0.1", port: "0", error: "端口范围是 1 到 65535。" },
        { host: "127.0.0.1", port: "65536", error: "端口范围是 1 到 65535。" },
        { host: "127.0.0.1", port: "80.5", error: "端口范围是 1 到 65535。" },
        { host: "127.0.0.1", port: "-1", error: "端口范围是 1 到 65535。" },
        { host: "127.0.0.1", port: "8080", error: "这个端口已经添加。" },
        { host: "nas.lan", port: "8080", error: "这个端口已经添加。" },
      ];
      await pageCalls(page);
      for (const c of cases) {
        // The field's own length limit is lifted so that the page's check is what refuses.
        await page.evaluate(() => document.getElementById("host").removeAttribute("maxlength"));
        await page.fill("#host", c.host);
        await page.fill("#port", c.port);
        await page.click("#add");
        assert.equal(await text(page, "#error"), c.error, `${JSON.stringify(c.host)}:${c.port}`);
        assert.deepEqual(await pageCalls(page), [], `no request for ${JSON.stringify(c.host)}:${c.port}`);
        assert.equal(await page.inputValue("#port"), c.port, "the field keeps what was typed");
      }
      // Edge values that pass: the longest host, ports 1 and 65535.
      const longest = "a" + "b".repeat(251) + "c";
      await page.fill("#host", longest);
      await page.fill("#port", "65535");
      const body = await posted(page, "/api/ports", () => page.click("#add"));
      assert.deepEqual(body.ports[1], { port: 65535, host: longest });
      await waitFor("the row", async () => (await mappingTargets(page)).length === 2);
      await page.fill("#host", "192.168.0.4");
      await page.fill("#port", "1");
      await posted(page, "/api/ports", () => page.click("#add"));
      await waitFor("the row", async () => (await mappingTargets(page)).length === 3);
      assert.equal(await visible(page, "#error"), false, "a successful change clears the error");
    });
  });

  test("editing a mapping in its dialog", async () => {
    const options = { sub: "kite", args: ["--http", "8080", "--http", "3000"] };
    await withConsole(browser, options, async ({ gw, client, page }) => {
      await registered(gw, [8080, 3000]);
      const open = async (port) => {
        await page.click(mappingButton("edit", port));
        assert.equal(await visible(page, "#mappingModal"), true);
      };
      const isFocused = (id) => page.evaluate((i) => document.activeElement?.id === i, id);

      await open(8080);
      assert.equal(await page.inputValue("#editHost"), "127.0.0.1");
      assert.equal(await page.inputValue("#editPort"), "8080");
      await page.clock.runFor(29);
      assert.equal(await isFocused("editPort"), false, "focus waits 30 ms");
      await page.clock.runFor(1);
      assert.equal(await isFocused("editPort"), true);

      // Three ways to close without saving: Escape, the backdrop, the cancel button.
      await pageCalls(page);
      await page.press("#editPort", "Escape");
      assert.equal(await visible(page, "#mappingModal"), false);
      await open(8080);
      await page.click("#mappingModal .dialog h3");
      assert.equal(await visible(page, "#mappingModal"), true, "a click inside the dialog keeps it open");
      await page.mouse.click(5, 200);
      assert.equal(await visible(page, "#mappingModal"), false);
      await open(8080);
      await page.click("#cancelMapping");
      assert.equal(await visible(page, "#mappingModal"), false);
      assert.deepEqual(await pageCalls(page), []);

      // Another mapping's port is refused in the dialog, which stays open.
      await open(8080);
      await page.fill("#editPort", "3000");
      await page.click("#saveMapping");
      assert.equal(await text(page, "#error"), "这个端口已经添加。");
      assert.equal(await visible(page, "#mappingModal"), true);
      assert.deepEqual(await pageCalls(page), []);

      // Its own port is allowed: only the host changes, in place.
      await page.fill("#editHost", " NAS.lan");
      await page.fill("#editPort", "8080");
      const body = await posted(page, "/api/ports", () => page.click("#saveMapping"));
      assert.deepEqual(body, { ports: [{ port: 8080, host: "nas.lan" }, { port: 3000, host: "127.0.0.1" }] });
      await waitFor("the dialog to close", async () => !(await visible(page, "#mappingModal")));
      await waitFor("the edited row", async () => (await mappingTargets(page))[0] === "nas.lan:8080");
      assert.equal(client.keyLine("targets"), "3000@127.0.0.1,8080@nas.lan");

      // A new port, saved with Enter; the row keeps its place.
      const before = gw.log.length;
      await open(8080);
      assert.equal(await page.inputValue("#editHost"), "nas.lan");
      await page.fill("#editPort", "8081");
      const moved = await posted(page, "/api/ports", () => page.press("#editPort", "Enter"));
      assert.deepEqual(moved.ports, [{ port: 8081, host: "nas.lan" }, { port: 3000, host: "127.0.0.1" }]);
      await waitFor("the dialog to close", async () => !(await visible(page, "#mappingModal")));
      await waitFor("the moved row", async () => (await mappingTargets(page))[0] === "nas.lan:8081");
      assert.equal(client.keyLine("ports"), "8081,3000");
      await registered(gw, [8081, 3000], before);
      assert.equal(await page.locator(`#mappings tr:first-child td.url a`).getAttribute("href"),
        `https://kite-8081.${DOMAIN}`);
    });
  });
});

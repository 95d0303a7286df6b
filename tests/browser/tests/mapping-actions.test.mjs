// Deleting, copying and opening mappings, and what a failed change leaves, against the
// real client.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import {
  DOMAIN, launchBrowser, mappingButton, mappingTargets, posted, registered, SUITE_TIMEOUT_MS, text, visible, waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe("mapping actions", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("deleting from the row and from the dialog, without confirmation", async () => {
    const options = { sub: "kite", args: ["--http", "8080", "--http", "22"] };
    await withConsole(browser, options, async ({ gw, client, page }) => {
      await registered(gw, [8080, 22]);
      let before = gw.log.length;
      const body = await posted(page, "/api/ports", () => page.click(mappingButton("delete", 22)));
      assert.deepEqual(body, { ports: [{ port: 8080, host: "127.0.0.1" }] });
      await waitFor("the row to go", async () => (await mappingTargets(page)).length === 1);
      assert.equal(client.keyLine("ports"), "8080");
      await registered(gw, [8080], before);

      before = gw.log.length;
      await page.click(mappingButton("edit", 8080));
      const emptied = await posted(page, "/api/ports", () => page.click("#deleteMapping"));
      assert.deepEqual(emptied, { ports: [] });
      assert.equal(await visible(page, "#mappingModal"), false);
      await waitFor("the empty notice", async () => visible(page, "#empty"));
      assert.equal(await text(page, "#mappingCount"), "共 0 条");
      assert.equal(client.keyLine("ports"), "");
      await registered(gw, [], before);
    });
  });

  test("copying and opening an address", async () => {
    const options = { sub: "kite", args: ["--http", "8080"], permissions: ["clipboard-read", "clipboard-write"] };
    await withConsole(browser, options,
      async ({ page, context }) => {
        const url = `https://kite-8080.${DOMAIN}`;
        await page.click(mappingButton("copy", 8080));
        await waitFor("the copied label", async () => (await text(page, mappingButton("copy", 8080))) === "已复制");
        assert.equal(await page.evaluate(() => navigator.clipboard.readText()), url);
        // The label survives the table being drawn anew, and goes after 1200 ms.
        await page.evaluate(() => load());
        assert.equal(await text(page, mappingButton("copy", 8080)), "已复制");
        await page.clock.runFor(1199);
        assert.equal(await text(page, mappingButton("copy", 8080)), "已复制");
        await page.clock.runFor(1);
        assert.equal(await text(page, mappingButton("copy", 8080)), "复制");

        // The clipboard refusing is told, not hidden.
        await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new Error("denied")); });
        await page.click(mappingButton("copy", 8080));
        await waitFor("the copy failure", async () => (await text(page, "#error")) === "复制失败，请手动选择访问地址。");
        assert.equal(await text(page, mappingButton("copy", 8080)), "复制");

        // "打开" opens the address in a new tab without a way back to the console; the
        // test answers for the public address, so nothing leaves the machine.
        await context.route(url + "/", (route) => route.fulfill({ contentType: "text/html", body: "<p>visitor</p>" }));
        const [popup] = await Promise.all([context.waitForEvent("page"), page.click(mappingButton("open", 8080))]);
        await popup.waitForLoadState();
        assert.equal(popup.url(), url + "/");
        assert.equal(await popup.evaluate(() => window.opener), null);
      });
  });

  test("a failed change keeps its dialog and tells why", async () => {
    await withConsole(browser, { gw: null, args: ["--http", "8080"] }, async ({ client, page }) => {
      await page.click(mappingButton("edit", 8080));
      await client.stop();
      await page.fill("#editPort", "8081");
      await page.click("#saveMapping");
      await waitFor("the failure", async () => (await text(page, "#error")) === "修改映射失败");
      assert.equal(await visible(page, "#mappingModal"), true);
      await page.click("#cancelMapping");

      await page.fill("#port", "9000");
      await page.click("#add");
      await waitFor("the failure", async () => (await text(page, "#error")) === "保存映射失败");
      assert.equal(await page.inputValue("#port"), "9000", "nothing typed is lost");
      await page.click(mappingButton("delete", 8080));
      await waitFor("the failure", async () => (await text(page, "#error")) === "删除映射失败");
      assert.deepEqual(await mappingTargets(page), ["127.0.0.1:8080"]);
    });
  });
});

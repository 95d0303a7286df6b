// What the gateway and the console's own availability do to the page: a changed gateway
// certificate, a used-up daily quota, and a console that went away and came back.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import {
  launchBrowser, nextPoll, pageCalls, pollUntil, screenshot, SUITE_TIMEOUT_MS, text, visible, waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe("gateway and console availability", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("a changed gateway certificate is accepted with the reset button", async () => {
    const options = { sub: "kite", tls: "required", args: ["--http", "8080"], gwArgs: ["--tls"] };
    await withConsole(browser, options, async ({ gw, client, page }) => {
      const first = (await gw.admin("fingerprint")).replace(/^ok /, "");
      await waitFor("the first pin", () => client.keyLine("gw_pin") === first);
      await pollUntil(page, "an encrypted connection", async () => (await text(page, "#tlsValue")) === "已加密");
      assert.equal(await text(page, "#tlsSub"), "网关链路已启用 TLS");
      assert.equal(await visible(page, "#resetTrust"), false);

      // A new certificate, and the device made to reconnect: the pin no longer matches.
      const second = (await gw.admin("swap-cert")).replace(/^ok /, "");
      assert.notEqual(second, first);
      assert.match(await gw.admin("drop kite"), /^ok/);
      const notice = "网关证书已更新，请在 Quillmar 页面确认更新后重新连接。";
      await pollUntil(page, "the certificate notice", async () => (await text(page, "#error")) === notice);
      assert.equal(await visible(page, "#resetTrust"), true);
      assert.equal(await text(page, "#resetTrust"), "确认更新网关证书并重连");
      assert.equal(await text(page, "#topState"), "未连接");
      assert.equal(client.keyLine("gw_pin"), first, "the old pin is kept until the user agrees");
      await screenshot(page, "certificate-notice-1280", { fullPage: false });

      const [reset] = await Promise.all([
        page.waitForRequest((r) => r.method() === "POST" && r.url().endsWith("/api/trust/reset")),
        page.click("#resetTrust"),
      ]);
      assert.equal(reset.postData(), null);
      await waitFor("the button to go", async () => !(await visible(page, "#resetTrust")));
      assert.equal(await visible(page, "#error"), false);
      // The page looks again 500 ms later.
      await pageCalls(page, { withPolls: true });
      await page.clock.runFor(499);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), []);
      await page.clock.runFor(1);
      await waitFor("the page's own look", async () => (await pageCalls(page, { withPolls: true })).length === 1);

      await waitFor("the new pin", () => client.keyLine("gw_pin") === second);
      await pollUntil(page, "the reconnection", async () => (await text(page, "#topState")) === "已连接");
      assert.equal(await text(page, "#tlsValue"), "已加密");
      assert.equal(await visible(page, "#resetTrust"), false);
      assert.equal(await visible(page, "#error"), false);
    });
  });

  test("a used-up daily quota is shown", async () => {
    const options = { sub: "kite", args: ["--http", "8080"], gwArgs: ["--daily-quota", "1M"] };
    await withConsole(browser, options, async ({ gw, page }) => {
      await pollUntil(page, "the connection", async () => (await text(page, "#topState")) === "已连接");
      assert.equal(await visible(page, "#quota"), false);
      assert.equal(await text(page, "#trafficValue"), "0 B / 1 MB");

      assert.match(await gw.admin("usage kite 1536K"), /^ok/);
      await pollUntil(page, "the quota notice", () => visible(page, "#quota"));
      assert.equal(await text(page, "#quota"), "今日流量额度已用完，将在下个计费周期恢复。");
      assert.equal(await text(page, "#trafficSub"), "额度已用完 · 北京时间 00:00 重置");
      assert.equal(await text(page, "#trafficValue"), "1.5 MB / 1 MB");
      assert.equal(await text(page, "#topState"), "未连接");
      assert.equal(await visible(page, "#resetTrust"), false);
    });
  });

  test("the page recovers when the console comes back", async () => {
    // The client is restarted on its console port at once, as a user would restart it
    // with the page still open: the connections of the page's polls must not keep the
    // port from it.
    await withConsole(browser, { sub: "kite", args: ["--http", "8080"] }, async ({ client, page }) => {
      await pollUntil(page, "the connection", async () => (await text(page, "#topState")) === "已连接");

      await client.stop();
      await nextPoll(page);
      assert.equal(await text(page, "#error"), "读取客户端状态失败，请确认 Quillmar 正在运行。");
      assert.equal(await text(page, "#topState"), "状态读取失败");
      assert.equal(await page.locator("#topDot").evaluate((el) => el.classList.contains("on")), false);
      // What was drawn last stays readable meanwhile.
      assert.equal(await page.locator("#mappings tr").count(), 1);
      await nextPoll(page);
      assert.equal(await text(page, "#topState"), "状态读取失败");

      await client.launch(client.uiPort);
      await pollUntil(page, "the recovery", async () => (await text(page, "#topState")) === "已连接");
      assert.equal(await visible(page, "#error"), false);
      assert.equal(await page.locator("#topDot").evaluate((el) => el.classList.contains("on")), true);
    });
  });
});

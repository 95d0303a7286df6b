// What the page draws from the state document, how often it asks for it, what it loads,
// and how it looks at the widths it is made for.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import {
  buildSetting, DOMAIN, httpRequest, launchBrowser, nextPoll, pageCalls, POLL_MS, screenshot, SUITE_TIMEOUT_MS,
  text, visible, waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const hasClass = (page, selector, name) => page.locator(selector).evaluate((el, n) => el.classList.contains(n), name);

async function card(page, name) {
  return {
    value: await text(page, `#${name}Value`),
    sub: await text(page, `#${name}Sub`),
    good: await hasClass(page, `#${name}Value`, "good"),
    bad: await hasClass(page, `#${name}Value`, "bad"),
  };
}

async function rows(page) {
  return page.locator("#mappings tr").evaluateAll((trs) => trs.map((tr) => ({
    target: tr.cells[0].textContent,
    url: tr.cells[1].textContent,
    href: tr.cells[1].querySelector("a")?.getAttribute("href") ?? null,
    access: tr.cells[2].textContent,
    state: tr.cells[3].textContent,
    buttons: [...tr.cells[4].querySelectorAll("button")].map((b) => b.textContent),
  })));
}

describe("console page state", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("a connected client: status, cards, device link, plan and mappings", async () => {
    const options = {
      sub: "kite", args: ["--http", "8080", "--http", "22"], gwArgs: ["--max-mappings", "2", "--daily-quota", "10M"],
    };
    await withConsole(browser, options, async ({ gw, client, page }) => {
      await waitFor("the page to show the connection", async () => {
        await nextPoll(page);
        return (await text(page, "#topState")) === "已连接";
      });
      const state = await client.state();
      assert.equal(await hasClass(page, "#topDot", "on"), true);
      assert.deepEqual(await card(page, "conn"),
        { value: "已连接", sub: `127.0.0.1:${gw.controlPort}`, good: true, bad: false });
      assert.deepEqual(await card(page, "tls"), { value: "等待加密", sub: "尚未建立 TLS 链路", good: false, bad: true });
      assert.deepEqual(await card(page, "own"), { value: "已绑定", sub: "域名属于当前设备", good: true, bad: false });
      assert.deepEqual(await card(page, "map"), { value: "2", sub: "映射配置已加载", good: false, bad: false });
      assert.deepEqual(await card(page, "plan"),
        { value: "体验版", sub: "同时启用 2 条，可保存更多", good: false, bad: false });
      assert.equal(await text(page, "#trafficValue"), "0 B / 10 MB");
      assert.equal(await text(page, "#trafficSub"), "剩余 10 MB · 北京时间 00:00 重置");
      assert.equal(await text(page, "#mappingCount"), "共 2 条");
      assert.equal(await visible(page, "#empty"), false);

      const device = page.locator("#device");
      assert.equal(await text(page, "#device"), `kite-8080.${DOMAIN}`);
      assert.equal(await device.getAttribute("href"), `https://kite-8080.${DOMAIN}`);
      assert.equal(await device.getAttribute("title"), `打开 https://kite-8080.${DOMAIN}`);
      assert.equal(await device.getAttribute("target"), "_blank");

      assert.equal(await page.locator("#upgradeLink").getAttribute("href"), state.upgrade_url);
      assert.equal(await page.locator("#upgradeBannerLink").getAttribute("href"), state.upgrade_url);
      assert.equal(await visible(page, "#upgradeBanner"), true);

      assert.equal(await page.inputValue("#customSub"), "kite");
      assert.equal(await page.inputValue("#customPreview"), `kite.${DOMAIN}`);
      assert.equal(await text(page, "#domainHint"),
        `保存后会重连网关；若名字已被占用会提示换一个。映射地址会变成 https://名字-端口.${DOMAIN}`);
      assert.equal(await text(page, "#domainNote"), `当前：https://kite.${DOMAIN}`);

      assert.deepEqual(await rows(page), [
        { target: "127.0.0.1:8080", url: `https://kite-8080.${DOMAIN}`, href: `https://kite-8080.${DOMAIN}`,
          access: "公开访问", state: "已配置", buttons: ["复制", "编辑", "打开", "设置密码", "删除"] },
        { target: "127.0.0.1:22", url: `https://kite-22.${DOMAIN}`, href: `https://kite-22.${DOMAIN}`,
          access: "公开访问", state: "已配置", buttons: ["复制", "编辑", "打开", "设置密码", "删除"] },
      ]);
      for (const hidden of ["#error", "#resetTrust", "#quota"]) assert.equal(await visible(page, hidden), false, hidden);

      // A VIP plan with an end date, a lower mapping limit and traffic used.
      const endsAt = 1893456000;
      for (const command of ["set plan vip", `set plan-ends-at ${endsAt}`, "set max-mappings 1", "usage kite 1536K"]) {
        assert.match(await gw.admin(command), /^ok/, command);
      }
      assert.match(await gw.admin("account @kite"), /^ok/);
      await waitFor("the VIP plan to be drawn", async () => {
        await nextPoll(page);
        return (await text(page, "#planValue")) === "VIP";
      });
      const endDate = new Date(endsAt * 1000).toLocaleDateString("zh-CN");
      assert.deepEqual(await card(page, "plan"),
        { value: "VIP", sub: `同时启用 1 条，可保存更多 · 到期 ${endDate}`, good: true, bad: false });
      assert.equal(await visible(page, "#upgradeBanner"), false);
      assert.equal(await text(page, "#trafficValue"), "1.5 MB / 10 MB");
      assert.equal(await text(page, "#trafficSub"), "剩余 8.5 MB · 北京时间 00:00 重置");
      const [, second] = await rows(page);
      assert.equal(second.state, "已保存，升级后启用");
      assert.equal(await page.locator("#mappings tr:nth-child(2) .tag.bad").count(), 1);
    });
  });

  test("a client without a gateway: disconnected state and no mappings", async () => {
    await withConsole(browser, { gw: null }, async ({ client, page }) => {
      const state = await client.state();
      assert.equal(await text(page, "#topState"), "未连接");
      assert.equal(await hasClass(page, "#topDot", "on"), false);
      assert.deepEqual(await card(page, "conn"), { value: "连接中", sub: state.gateway, good: false, bad: true });
      assert.deepEqual(await card(page, "own"), { value: "连接中", sub: "正在自动连接网关", good: false, bad: false });
      assert.deepEqual(await card(page, "tls"), { value: "等待加密", sub: "尚未建立 TLS 链路", good: false, bad: true });
      assert.deepEqual(await card(page, "map"), { value: "0", sub: "尚未添加映射", good: false, bad: false });
      assert.deepEqual(await card(page, "plan"), { value: "体验版", sub: "同时启用 1 条，可保存更多", good: false, bad: false });
      assert.equal(await text(page, "#trafficValue"), "0 B / 10 MB");
      assert.equal(await text(page, "#mappingCount"), "共 0 条");
      assert.equal(await visible(page, "#empty"), true);
      assert.equal(await text(page, "#empty"), "还没有映射，请在下方添加本机端口。");
      assert.equal(await page.locator("#mappings tr").count(), 0);
      // No mapping: the device link falls back to the device's own address.
      assert.equal(await text(page, "#device"), `${state.sub}.${DOMAIN}`);
      assert.equal(await page.locator("#device").getAttribute("href"), state.base_url);
      assert.equal(await page.locator("#device").getAttribute("title"), `打开 ${state.base_url}`);
      await screenshot(page, "disconnected-1280");
    });
  });

  test("bytes", async () => {
    await withConsole(browser, { gw: null }, async ({ page }) => {
      const cases = [
        [0, "0 B"], [1023, "1023 B"], [1024, "1 KB"], [1536, "1.5 KB"], [1048575, "1024.0 KB"],
        [10485760, "10 MB"], [1610612736, "1.5 GB"], [1073741824, "1 GB"], [10737418240, "10 GB"],
        ["2048", "2 KB"], ["abc", "0 B"], [null, "0 B"], [undefined, "0 B"],
      ];
      for (const [input, expected] of cases) {
        assert.equal(await page.evaluate((v) => bytes(v), input), expected, `bytes(${input})`);
      }
    });
  });

  test("links and device names from documents the client cannot give today", async () => {
    await withConsole(browser, { gw: null }, async ({ page }) => {
      const site = buildSetting("QUILLMAR_SITE_HOST");
      const cases = [
        { name: "no upgrade_url: the plans page for the device",
          doc: { device_id: "ab cd", sub: "kite", domain: "x.test" },
          plans: `https://${site}/?device_id=ab%20cd#plans`, device: "kite.x.test", href: "https://kite.x.test" },
        { name: "neither upgrade_url nor device id",
          doc: { sub: "", domain: "x.test" }, plans: `https://${site}/#plans`, device: "x.test", href: null },
        { name: "no domain and no sub", doc: {}, plans: `https://${site}/#plans`, device: "等待分配域名", href: null },
        { name: "a script address is no link",
          doc: { upgrade_url: "javascript:alert(1)", base_url: "javascript:alert(1)", sub: "k" },
          plans: `https://${site}/#plans`, device: "等待分配域名", href: null },
        { name: "blocked and plan-limited mappings are not the device's live address",
          doc: { sub: "k", domain: "x.test", base_url: "https://k.x.test", ports: [
            { port: 1, url: "https://k-1.x.test", blocked: true },
            { port: 2, url: "https://k-2.x.test", plan_limited: true },
            { port: 3, url: "https://k-3.x.test" }] },
          plans: `https://${site}/#plans`, device: "k-3.x.test", href: "https://k-3.x.test" },
      ];
      for (const c of cases) {
        await page.evaluate((doc) => renderState(doc), c.doc);
        assert.equal(await page.locator("#upgradeLink").getAttribute("href"), c.plans, c.name);
        assert.equal(await page.locator("#upgradeBannerLink").getAttribute("href"), c.plans, c.name);
        assert.equal(await text(page, "#device"), c.device, c.name);
        assert.equal(await page.locator("#device").getAttribute("href"), c.href, c.name);
        if (!c.href) assert.equal(await page.locator("#device").getAttribute("title"), "尚未添加映射", c.name);
      }
      // A mapping the gateway has not given an address yet.
      await page.evaluate(() => renderState({ sub: "k", domain: "x.test", ports: [{ port: 5 }] }));
      assert.deepEqual((await rows(page))[0], { target: "127.0.0.1:5", url: "等待网关分配", href: null,
        access: "公开访问", state: "已配置", buttons: ["复制", "编辑", "打开", "设置密码", "删除"] });
      for (const action of ["copy", "open"]) {
        await page.evaluate(() => showError(""));
        await page.click(`#mappings button[data-action="${action}"]`);
        assert.equal(await text(page, "#error"), "访问地址尚未分配。", action);
      }
    });
  });

  test("the page is one self-contained document with the deployment's settings", async () => {
    await withConsole(browser, { gw: null }, async ({ client, page, requests }) => {
      const domain = buildSetting("QUILLMAR_DEFAULT_DOMAIN");
      const site = buildSetting("QUILLMAR_SITE_HOST");
      const reply = await httpRequest(client.uiPort, "GET", "/");
      const served = Buffer.from(reply.body, "utf8");
      assert.equal(Number(reply.headers["content-length"]), served.length);
      const built = path.join(process.env.QUILLMAR_NATIVE_BUILD, "client/generated/console.html");
      assert.deepEqual(served, fs.readFileSync(built));
      assert.doesNotMatch(reply.body, /@QUILLMAR_/);
      assert.doesNotMatch(reply.body, /<script[^>]+src=|<link[^>]+stylesheet|@import|url\(/i);
      assert.equal(await text(page, ".brand .domain"), domain);
      assert.equal(await page.locator(".footer a").getAttribute("href"), `https://${site}/`);
      assert.equal(await page.title(), "Quillmar 控制台");
      assert.equal(await page.locator("link[rel=icon]").getAttribute("href"), "/favicon.png");
      // An empty field previews with the domain of the client's document.
      await page.fill("#customSub", "");
      assert.equal(await page.inputValue("#customPreview"), `*.${DOMAIN}`);
      const loaded = requests.map((r) => r.replace(client.origin, ""));
      assert.deepEqual([...new Set(loaded)].sort(), ["GET /", "GET /api/state", "GET /favicon.png"]);
    });
  });

  test("polls every 2000 ms, and not while a change is running", async () => {
    await withConsole(browser, { gw: null }, async ({ page }) => {
      await pageCalls(page, { withPolls: true });
      await page.clock.runFor(POLL_MS - 1);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), []);
      await page.clock.runFor(1);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), ["GET /api/state"]);

      // Hold the change request until the test lets it go.
      let release;
      const held = new Promise((resolve) => { release = resolve; });
      await page.route("**/api/ports", async (route) => { await held; await route.continue(); });
      await page.fill("#port", "8080");
      await page.click("#add");
      await waitFor("the change request", async () =>
        (await pageCalls(page, { reset: false })).includes("POST /api/ports"));
      await pageCalls(page, { withPolls: true });
      await page.clock.runFor(3 * POLL_MS);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), [], "polls while the change runs");
      release();
      await waitFor("the mapping to be drawn", async () => (await page.locator("#mappings tr").count()) === 1);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), ["GET /api/state"], "the change's own load");
      await page.clock.runFor(POLL_MS);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), ["GET /api/state"], "polls again afterwards");
    });
  });
});

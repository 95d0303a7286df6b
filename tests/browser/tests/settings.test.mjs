// Access passwords, the device name and the plan refresh, against the real client.
import assert from "node:assert/strict";
import crypto from "node:crypto";
import { after, before, describe, test } from "node:test";
import {
  DOMAIN, httpRequest, launchBrowser, mappingButton, nextPoll, pageCalls, POLL_MS, posted, SUITE_TIMEOUT_MS, text, visible,
  waitFor, withConsole,
} from "../lib/harness.mjs";

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });


// The digest the client registers for a password: SHA-256 over a fixed label, a zero
// byte and the password.
const digest = (password) =>
  crypto.createHash("sha256").update(Buffer.concat([Buffer.from("Zidazevuze access passkey v12"), Buffer.from([0]),
    Buffer.from(password, "utf8")])).digest("hex");

describe("settings", { timeout: SUITE_TIMEOUT_MS }, () => {
  test("setting, changing and clearing an access password", async () => {
    await withConsole(browser, { sub: "kite", args: ["--http", "8080"] }, async ({ gw, client, page }) => {
      const isFocused = () => page.evaluate(() => document.activeElement?.id === "accessPassword");
      await page.click(mappingButton("password", 8080));
      assert.equal(await visible(page, "#passwordModal"), true);
      assert.equal(await text(page, "#passwordTitle"), "设置访问密码");
      assert.equal(await visible(page, "#clearPassword"), false);
      assert.equal(await page.inputValue("#accessPassword"), "");
      await page.clock.runFor(29);
      assert.equal(await isFocused(), false);
      await page.clock.runFor(1);
      assert.equal(await isFocused(), true);

      // Nothing typed: told, nothing sent, the dialog stays.
      await pageCalls(page);
      await page.press("#accessPassword", "Enter");
      assert.equal(await text(page, "#error"), "请输入访问密码，或使用“清除密码”。");
      assert.equal(await visible(page, "#passwordModal"), true);
      assert.deepEqual(await pageCalls(page), []);

      // The password goes as typed, spaces included, and is saved as its digest.
      await page.fill("#accessPassword", " s3cret 密码 ");
      const body = await posted(page, "/api/access", () => page.press("#accessPassword", "Enter"));
      assert.deepEqual(body, { port: 8080, password: " s3cret 密码 " });
      await waitFor("the dialog to close", async () => !(await visible(page, "#passwordModal")));
      await waitFor("the protected badge", async () => (await text(page, "#mappings td:nth-child(3)")) === "密码访问");
      assert.equal(client.keyLine("access"), `8080=${digest(" s3cret 密码 ")}`);
      assert.deepEqual(await page.locator("#mappings button").allTextContents(),
        ["复制", "编辑", "打开", "修改密码", "清除密码", "删除"]);
      await waitFor("the stand-in to get the digest", () => gw.log.includes(digest(" s3cret 密码 ")));

      // Changing it: the other title, the clear button shown; Escape and the backdrop close.
      await page.click(mappingButton("password", 8080));
      assert.equal(await text(page, "#passwordTitle"), "修改访问密码");
      assert.equal(await visible(page, "#clearPassword"), true);
      await page.keyboard.press("Escape");
      assert.equal(await visible(page, "#passwordModal"), false);
      await page.click(mappingButton("password", 8080));
      await page.mouse.click(5, 200);
      assert.equal(await visible(page, "#passwordModal"), false);
      await page.click(mappingButton("password", 8080));
      await page.click("#cancelPassword");
      assert.equal(await visible(page, "#passwordModal"), false);

      await page.click(mappingButton("password", 8080));
      await page.fill("#accessPassword", "second");
      await posted(page, "/api/access", () => page.click("#savePassword"));
      await waitFor("the new digest", () => client.keyLine("access") === `8080=${digest("second")}`);

      // Clearing in the dialog, then setting again and clearing from the row.
      await page.click(mappingButton("password", 8080));
      assert.deepEqual(await posted(page, "/api/access", () => page.click("#clearPassword")), { port: 8080, password: "" });
      await waitFor("the public badge", async () => (await text(page, "#mappings td:nth-child(3)")) === "公开访问");
      assert.equal(await visible(page, "#passwordModal"), false);
      assert.equal(client.keyLine("access"), "");
      assert.equal(await page.locator(mappingButton("clear-password", 8080)).count(), 0);

      await httpRequest(client.uiPort, "POST", "/api/access", JSON.stringify({ port: 8080, password: "x" }));
      await nextPoll(page);
      assert.deepEqual(await posted(page, "/api/access", () => page.click(mappingButton("clear-password", 8080))),
        { port: 8080, password: "" });
      await waitFor("the public badge", async () => (await text(page, "#mappings td:nth-child(3)")) === "公开访问");
      assert.equal(client.keyLine("access"), "");
    });
  });

  test("a refused password is told and its dialog stays open", async () => {
    await withConsole(browser, { gw: null, args: ["--http", "8080"] }, async ({ client, page }) => {
      const cases = [
        { name: "too long: 43 three-byte characters", password: "密".repeat(43), error: "访问密码最长 128 个字符" },
        { name: "the mapping went meanwhile", password: "pw", error: "该端口尚未添加映射",
          before: () => httpRequest(client.uiPort, "POST", "/api/ports", JSON.stringify({ ports: [] })) },
      ];
      for (const c of cases) {
        await page.click(mappingButton("password", 8080));
        await page.fill("#accessPassword", c.password);
        if (c.before) await c.before();
        await posted(page, "/api/access", () => page.click("#savePassword"));
        await waitFor(c.name, async () => (await text(page, "#error")) === c.error);
        assert.equal(await visible(page, "#passwordModal"), true, c.name);
        assert.equal(await page.inputValue("#accessPassword"), c.password, c.name);
        assert.doesNotMatch(client.keyLine("access") ?? "", /[0-9a-f]{64}/, c.name);
        await page.click("#cancelPassword");
      }
      // The polls of the next 5 s leave the refusal in view; the first one after that
      // replaces it with the client's own error (none).
      await nextPoll(page);
      assert.equal(await text(page, "#error"), "该端口尚未添加映射", "2 s later");
      await nextPoll(page);
      assert.equal(await text(page, "#error"), "该端口尚未添加映射", "4 s later");
      await nextPoll(page);
      assert.equal(await visible(page, "#error"), false, "6 s later");
    });
  });

  test("an error stays until the user acts again, or for 5 s", async () => {
    await withConsole(browser, { gw: null, args: ["--http", "8080"] }, async ({ page }) => {
      // Told by the page itself: the polls of the next 5 s leave it.
      await page.click(mappingButton("password", 8080));
      await page.press("#accessPassword", "Enter");
      const told = "请输入访问密码，或使用“清除密码”。";
      await nextPoll(page);
      await nextPoll(page);
      assert.equal(await text(page, "#error"), told);
      // The user's next action takes it away at once.
      await page.fill("#accessPassword", "pw");
      await posted(page, "/api/access", () => page.press("#accessPassword", "Enter"));
      await waitFor("the dialog to close", async () => !(await visible(page, "#passwordModal")));
      assert.equal(await visible(page, "#error"), false);
    });
  });

  test("a poll that overlaps a password change is not drawn", async () => {
    await withConsole(browser, { gw: null, args: ["--http", "8080"] }, async ({ page }) => {
      // Every state document is held back until the test lets it through, and each
      // drawing notes the mapping's badge.
      const held = [];
      await page.route("**/api/state", async (route) => {
        const reply = await route.fetch();
        held.push(() => route.fulfill({ response: reply }));
      });
      await page.evaluate(() => {
        window.__badges = [];
        new MutationObserver(() => window.__badges.push(document.querySelector("#mappings td:nth-child(3)")?.textContent))
          .observe(document.getElementById("topState"), { childList: true });
      });
      // A poll goes out before the change, and is answered from before it.
      await page.clock.runFor(POLL_MS);
      await waitFor("the poll to be answered", () => held.length === 1);
      await page.click(mappingButton("password", 8080));
      await page.fill("#accessPassword", "pw");
      await posted(page, "/api/access", () => page.click("#savePassword"));
      await waitFor("the dialog to close", async () => !(await visible(page, "#passwordModal")));
      await waitFor("the change's own look", () => held.length === 2);
      // The old answer arrives first, then the change's own.
      await held[0]();
      await held[1]();
      await waitFor("the protected badge", async () => (await text(page, "#mappings td:nth-child(3)")) === "密码访问");
      assert.deepEqual(await page.evaluate(() => window.__badges), ["密码访问"]);
    });
  });

  test("saving the device name", async () => {
    const options = { sub: "kite", args: ["--http", "8080"], gwArgs: ["--max-mappings", "3"] };
    await withConsole(browser, options, async ({ gw, client, page }) => {
      await waitFor("the device to be online", () => gw.log.includes("kite is online"));
      await pageCalls(page);
      await page.fill("#customSub", "   ");
      await page.press("#customSub", "Enter");
      assert.equal(await text(page, "#error"), "请输入想要的二级域名");
      assert.deepEqual(await pageCalls(page), []);

      // Typing is previewed at once and is not undone by the polls that follow.
      await page.fill("#customSub", " Lantern ");
      assert.equal(await page.inputValue("#customPreview"), `lantern.${DOMAIN}`);
      await nextPoll(page);
      await nextPoll(page);
      assert.equal(await page.inputValue("#customSub"), " Lantern ");
      assert.equal(await page.inputValue("#customPreview"), `lantern.${DOMAIN}`);

      const body = await posted(page, "/api/subdomain", () => page.click("#saveDomain"));
      assert.deepEqual(body, { sub: "lantern" });
      await waitFor("the note", async () => (await text(page, "#domainNote")) === "正在切换到新域名");
      assert.equal(client.keyLine("sub"), "lantern");
      await waitFor("the new name at the stand-in", () => gw.log.includes("lantern is online"));
      // The page looks again 800 ms later.
      await pageCalls(page, { withPolls: true });
      await page.clock.runFor(799);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), []);
      await page.clock.runFor(1);
      await waitFor("the new name on the page", async () =>
        (await text(page, "#domainNote")) === `当前：https://lantern.${DOMAIN}`);
      assert.equal(await page.inputValue("#customSub"), "lantern");
      assert.equal(await text(page, "#device"), `lantern-8080.${DOMAIN}`);

      // The same name again, and a name the client refuses.
      await page.press("#customSub", "Enter");
      await waitFor("the unchanged note", async () => (await text(page, "#domainNote")) === "域名未变化");
      await page.fill("#customSub", "admin");
      await posted(page, "/api/subdomain", () => page.press("#customSub", "Enter"));
      await waitFor("the refusal", async () => (await text(page, "#error")) === "这个名字已被系统保留，请换一个");
      assert.equal(await page.inputValue("#customSub"), "admin", "the refused name stays for correcting");
      assert.equal(client.keyLine("sub"), "lantern");
    });
  });

  test("refreshing the plan reconnects", async () => {
    await withConsole(browser, { sub: "kite", args: ["--http", "8080"] }, async ({ gw, page }) => {
      await waitFor("the device to be online", () => gw.log.includes("kite is online"));
      const before = gw.log.length;
      assert.equal(await posted(page, "/api/reconnect", () => page.click("#refreshPlan")), null);
      await waitFor("the busy label", async () => (await text(page, "#refreshPlan")) === "刷新中…");
      assert.equal(await page.locator("#refreshPlan").isDisabled(), true);
      await waitFor("the device to reconnect", () => gw.log.slice(before).includes("kite is online"));
      await pageCalls(page, { withPolls: true });
      await page.clock.runFor(1199);
      assert.equal(await text(page, "#refreshPlan"), "刷新中…");
      await page.clock.runFor(1);
      assert.equal(await text(page, "#refreshPlan"), "刷新套餐");
      assert.equal(await page.locator("#refreshPlan").isDisabled(), false);
      assert.deepEqual(await pageCalls(page, { withPolls: true }), ["GET /api/state"]);
    });
  });
});

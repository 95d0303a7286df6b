// The request-body readers as tables.
#include "console/body_readers.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

// "ok:" followed by the value, or "error:" followed by the message.
template <class T, class Show>
std::string outcome(const BodyRead<T>& read, Show show) {
  return read.ok() ? "ok:" + show(read.value()) : "error:" + read.error();
}
std::string show_text(const std::string& text) { return text; }
std::string show_ports(const std::vector<std::uint16_t>& ports) {
  std::string out;
  for (auto p : ports) out += (out.empty() ? "" : ",") + std::to_string(p);
  return out;
}
std::string show_targets(const PortHosts& targets) {
  std::string out;
  for (const auto& [port, host] : targets)
    out += (out.empty() ? "" : ",") + std::to_string(port) + "@" + host;
  return out;
}
std::string show_list(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : "|") + n;
  return out;
}

TEST(JsonStringField, ReadsTheFirstQuotedValue) {
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  } cases[] = {
      {"spaces around the colon, value untrimmed", R"({"password" : "a b"})", "ok:a b"},
      {"blank value", R"({"password":"  "})", "ok:  "},
      {"empty value", R"({"password":""})", "ok:"},
      {"bare number", R"({"password":123})", "error:JSON 格式错误"},
      {"null", R"({"password":null})", "error:JSON 格式错误"},
      {"array", R"({"password":["a"]})", "error:JSON 格式错误"},
      {"escaped quote ends the value at the backslash", R"({"password":"a\"b"})",
       "error:值包含无效字符"},
      {"escaped line feed", R"({"password":"a\nb"})", "error:值包含无效字符"},
      {"raw tab", "{\"password\":\"a\tb\"}", "error:值包含无效字符"},
      {"raw C1 control",
       "{\"password\":\"a\xC2\x85"
       "b\"}",
       "error:值包含无效字符"},
      {"no key", R"({"port":80})", "error:没有收到 password"},
      {"empty body", "", "error:没有收到 password"},
      {"first of two wins", R"({"password":"one","password":"two"})", "ok:one"},
      {"no colon", R"({"password" "x"})", "error:JSON 格式错误"},
      {"anything between key and colon", R"({"password" junk : "x"})", "ok:x"},
      {"the colon may belong to a later key", R"({"password", "other":"x"})", "ok:x"},
      {"unterminated", R"({"password":"abc)", "error:JSON 格式错误"},
      {"not JSON at all", R"(zz "password":"v" zz)", "ok:v"},
      {"line break before the value", "{\"password\":\n\t\"v\"}", "ok:v"},
      {"Chinese value", R"({"password":"密码"})", "ok:密码"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(json_string_field(c.body, "password"), show_text), c.expected);
  }
}

TEST(CollectPorts, EveryPortKeyInOrderWithoutRepeats) {
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  } cases[] = {
      {"three objects with a repeat", R"({"ports":[{"port":8080},{"port":22},{"port":8080}]})",
       "ok:8080,22"},
      {"quoted number passed over", R"({"ports":[{"port":"8080"}]})", "error:没解析到端口"},
      {"70000", R"({"ports":[{"port":70000}]})", "error:端口 70000 不在 1~65535"},
      {"zero", R"({"ports":[{"port":0}]})", "error:端口 0 不在 1~65535"},
      {"error wins over valid ports", R"([{"port":80},{"port":70000}])",
       "error:端口 70000 不在 1~65535"},
      {"last out-of-range value reported", R"([{"port":0},{"port":65536},{"port":80}])",
       "error:端口 65536 不在 1~65535"},
      {"eleven digits passed over", R"({"ports":[{"port":12345678901}]})", "error:没解析到端口"},
      {"too large for 32 bits beside a valid one", R"([{"port":4294967296},{"port":81}])", "ok:81"},
      {"largest 32-bit value is out of range", R"([{"port":4294967295}])",
       "error:端口 4294967295 不在 1~65535"},
      {"empty ports array", R"({"ports":[]})", "ok:"},
      {"empty array with blanks and line breaks", "{ \"ports\" :\n [ ] }", "ok:"},
      {"empty array with backslash-quoted key", R"({\"ports\":[]})", "ok:"},
      {"empty array with a full-width space", "{\"ports\":\xE3\x80\x80[]}", "ok:"},
      {"other empty JSON", R"({"ports":[],"x":1})", "error:没解析到端口"},
      {"empty body", "", "error:没解析到端口"},
      {"digits then junk", R"({"port":80abc})", "ok:80"},
      {"negative", R"({"port":-5})", "error:没解析到端口"},
      {"null", R"({"port":null})", "error:没解析到端口"},
      {"leading zeros", R"({"port":0080})", "ok:80"},
      {"blanks before the number", "{\"port\":\n   443}", "ok:443"},
      {"ports key does not match", R"({"ports":80})", "error:没解析到端口"},
      {"key without colon ends the scan", R"({"port" 80} {"port":81})", "ok:81"},
      {"no colon anywhere after", R"({"port")", "error:没解析到端口"},
      {"65535", R"({"port":65535})", "ok:65535"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(collect_ports(c.body), show_ports), c.expected);
  }
}

TEST(ParseTargets, HostPerListedPort) {
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::uint16_t> ports;
    std::string expected;
  } cases[] = {
      {"trimmed and lower-cased, default for none",
       R"({"ports":[{"port":80,"host":" NAS.lan "},{"port":81}]})",
       {80, 81},
       "ok:80@nas.lan,81@127.0.0.1"},
      {"key order inside the object", R"([{"host":"a.lan","port":80}])", {80}, "ok:80@a.lan"},
      {"0.0.0.0 refused",
       R"([{"port":80,"host":"0.0.0.0"}])",
       {80},
       R"(error:目标主机 "0.0.0.0" 格式有误)"},
      {"inner blank refused",
       R"([{"port":80,"host":"a b"}])",
       {80},
       R"(error:目标主机 "a b" 格式有误)"},
      {"refusal ends the whole reading",
       R"([{"port":80,"host":"ok"},{"port":81,"host":"-x"}])",
       {80, 81},
       R"(error:目标主机 "-x" 格式有误)"},
      {"backslash in the host", R"([{"port":80,"host":"a\\b"}])", {80}, "error:值包含无效字符"},
      {"numeric host", R"([{"port":80,"host":5}])", {80}, "error:JSON 格式错误"},
      {"unlisted port passed over", R"([{"port":90,"host":"x"}])", {80}, "ok:80@127.0.0.1"},
      {"later object for the same port wins",
       R"([{"port":80,"host":"a"},{"port":80,"host":"b"}])",
       {80},
       "ok:80@b"},
      {"empty list", R"({"ports":[]})", {}, "ok:"},
      {"empty host refused", R"([{"port":80,"host":""}])", {80}, R"(error:目标主机 "" 格式有误)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(parse_targets(c.body, c.ports), show_targets), c.expected);
  }
}

TEST(ParseInviteField, TrimmedCodeWithoutInnerBlanks) {
  const std::string max_code(256, 'A');
  const std::string long_code(257, 'A');
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  } cases[] = {
      {"trimmed, case kept", R"({"invite":" ABC-123 "})", "ok:ABC-123"},
      {"inner space", R"({"invite":"AB C"})", "error:接入码格式错误，请重新复制完整接入码"},
      {"inner ideographic space",
       "{\"invite\":\"AB\xE3\x80\x80"
       "C\"}",
       "error:接入码格式错误，请重新复制完整接入码"},
      {"inner no-break space",
       "{\"invite\":\"AB\xC2\xA0"
       "C\"}",
       "error:接入码格式错误，请重新复制完整接入码"},
      {"raw tab", "{\"invite\":\"AB\tC\"}", "error:值包含无效字符"},
      {"256 bytes", "{\"invite\":\"" + max_code + "\"}", "ok:" + max_code},
      {"257 bytes", "{\"invite\":\"" + long_code + "\"}",
       "error:接入码格式错误，请重新复制完整接入码"},
      {"empty", R"({"invite":""})", "error:请输入接入码"},
      {"only blanks", R"({"invite":"   "})", "error:请输入接入码"},
      {"no key", R"({})", "error:没有收到 invite"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(parse_invite_field(c.body), show_text), c.expected);
  }
}

TEST(ParseSubdomainField, WantedDeviceName) {
  const std::string form = "error:域名只能用小写字母、数字和连字符，长度 2–40";
  const std::string reserved = "error:这个名字已被系统保留，请换一个";
  const std::string name_port = "error:请不要用「名字-端口」这种形式，端口会由系统自动派生";
  struct Case {
    std::string body;
    std::string expected;
  } cases[] = {
      {R"({"sub":"Kite"})", "ok:kite"},
      {R"({"sub":"  kite  "})", "ok:kite"},
      {R"({"sub":"k"})", form},
      {"{\"sub\":\"" + std::string(41, 'a') + "\"}", form},
      {"{\"sub\":\"" + std::string(40, 'a') + "\"}", "ok:" + std::string(40, 'a')},
      {R"({"sub":"-kite"})", form},
      {R"({"sub":"kite-"})", form},
      {R"({"sub":"kite.home"})", form},
      {R"({"sub":"kité"})", form},
      {R"({"sub":"--"})", form},
      {R"({"sub":"my_pc"})", "ok:my_pc"},
      {R"({"sub":"admin"})", reserved},
      {R"({"sub":"WWW"})", reserved},
      {R"({"sub":"gateway"})", reserved},
      {R"({"sub":"admin2"})", "ok:admin2"},
      {R"({"sub":"kite-8080"})", name_port},
      {R"({"sub":"kite-0"})", name_port},
      {R"({"sub":"kite-65535"})", name_port},
      {R"({"sub":"kite-00080"})", name_port},
      {R"({"sub":"a-b-22"})", name_port},
      {R"({"sub":"kite-65536"})", "ok:kite-65536"},
      {R"({"sub":"kite-99999"})", "ok:kite-99999"},
      {R"({"sub":"kite-8080x"})", "ok:kite-8080x"},
      {R"({"sub":"22-kite"})", "ok:22-kite"},
      {R"({"subdomain":"Nas"})", "ok:nas"},
      {R"({"sub":"one","subdomain":"two"})", "ok:one"},
      {R"({"sub":5,"subdomain":"two"})", "ok:two"},
      {R"({"sub":""})", "error:请输入想要的二级域名"},
      {R"({})", "error:没有收到 subdomain"},
      {R"({"sub":5})", "error:没有收到 subdomain"},
      {R"({"subdomain":5})", "error:JSON 格式错误"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(outcome(parse_subdomain_field(c.body), show_text), c.expected);
  }
}

TEST(ParseAllowBody, QuotedNamesOrSeparatedText) {
  struct Case {
    const char* name;
    std::string body;
    std::string accepted;
    std::string refused;
  } cases[] = {
      {"array of strings", R"({"allow":["a","B ","bad name"]})", "a|b", "bad name"},
      {"empty array", R"({"allow":[]})", "", ""},
      {"separated text", "a;b", "a|b", ""},
      {"commas and semicolons", " a , b;c ", "a|b|c", ""},
      {"repeats dropped", R"(["a","A","a"])", "a", ""},
      {"strings after the bracket ignored", R"({"allow":["a"],"visit":"x"})", "a", ""},
      {"item holding separators split further", R"(["a,b"])", "a|b", ""},
      {"unterminated array", R"({"allow":["a","b)", "a|b", ""},
      {"empty body", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> invalid;
    EXPECT_EQ(show_list(parse_allow_body(c.body, invalid)), c.accepted);
    EXPECT_EQ(show_list(invalid), c.refused);
  }
}

TEST(ParseAllowBody, KeepsAtMost32Names) {
  std::string body = "[";
  for (int i = 0; i < 40; ++i) body += "\"n" + std::to_string(i) + "\",";
  body += "]";
  std::vector<std::string> invalid;
  EXPECT_EQ(parse_allow_body(body, invalid).size(), 32u);
}

TEST(ParseVisitField, ClearNameOrNothing) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<std::string> expected;
    std::string refused;
  } cases[] = {
      {"empty string clears", R"({"visit":""})", "", ""},
      {"name lower-cased", R"({"visit":"Kite"})", "kite", ""},
      {"trimmed", R"({"visit":"  kite "})", "kite", ""},
      {"refused name recorded", R"({"visit":"no way"})", std::nullopt, "no way"},
      {"null", R"({"visit":null})", std::nullopt, ""},
      {"null before another key", R"({"visit":null,"allow":["a"]})", std::nullopt, ""},
      {"number", R"({"visit":5})", std::nullopt, ""},
      {"no key", R"({"allow":[]})", std::nullopt, ""},
      {"no colon", R"({"visit")", std::nullopt, ""},
      {"blank string", R"({"visit":"  "})", std::nullopt, ""},
      {"unterminated string", R"({"visit":"kite)", "kite", ""},
      {"blanks before the value", "{\"visit\" :  \"peer\"}", "peer", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> invalid;
    EXPECT_EQ(parse_visit_field(c.body, invalid), c.expected);
    EXPECT_EQ(show_list(invalid), c.refused);
  }
}

}  // namespace
}  // namespace quillmar

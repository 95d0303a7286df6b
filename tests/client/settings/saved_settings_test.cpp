// The mapping settings read back from a real key file.
#include "settings/saved_settings.hpp"

#include <gtest/gtest.h>

#include "async_test.hpp"

namespace quillmar {
namespace {

const std::string HEADER = "# header\ntoken=0123456789abcdef0123456789abcdef\n";
const std::string DIGEST_A(64, 'a');
const std::string DIGEST_B(64, 'b');

class SavedSettings : public ::testing::Test {
 protected:
  std::filesystem::path key_file(const std::string& text) {
    auto path = dir_.path() / "id.ini";
    test::write_file(path, text);
    return path;
  }
  test::TempDir dir_;
};

TEST_F(SavedSettings, Ports) {
  struct Case {
    const char* name;
    std::string lines;
    std::vector<std::uint16_t> expected;
  };
  const Case cases[] = {
      {"items trimmed; zero, repeats and bad items skipped", "ports= 80 ,80,0,abc,81\n", {80, 81}},
      {"order of first appearance", "ports=8080,22,8080,443\n", {8080, 22, 443}},
      {"plus sign and leading zeros", "ports=+90,0091\n", {90, 91}},
      {"above 65535 skipped", "ports=65535,65536\n", {65535}},
      {"only the first line counts", "ports=81\nports=82\n", {81}},
      {"a blank before the key does not count", " ports=83\nports=84\n", {84}},
      {"a different key does not count", "xports=85\nPorts=86\n", {}},
      {"carriage return dropped, last line too", "ports=87\r\nsub=x\r\n", {87}},
      {"last line without line feed", "sub=x\nports=88\r", {88}},
      {"an empty value", "ports=\n", {}},
      {"no line", "sub=x\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_saved_ports(key_file(HEADER + c.lines)), c.expected) << c.name;
  }
}

TEST_F(SavedSettings, Targets) {
  struct Case {
    const char* name;
    std::string lines;
    PortHosts expected;
  };
  const Case cases[] = {
      {"bad host, no @ and a blank before the port skipped",
       "targets=80@nas.lan,81@bad host,82,83@nas.lan, 84@nas.lan\n",
       {{80, "nas.lan"}, {83, "nas.lan"}}},
      {"a later item for the same port wins", "targets=80@a.lan,80@b.lan\n", {{80, "b.lan"}}},
      {"port 0 is taken", "targets=0@a.lan\n", {{0, "a.lan"}}},
      {"the host is the text after the first @", "targets=90@x@y\n", {}},
      {"addresses are hosts", "targets=91@192.168.1.20\n", {{91, "192.168.1.20"}}},
      {"no line", "ports=80\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_saved_targets(key_file(HEADER + c.lines)), c.expected) << c.name;
  }
}

TEST_F(SavedSettings, Access) {
  struct Case {
    const char* name;
    std::string lines;
    PortDigests expected;
  };
  const Case cases[] = {
      {"ports that are not mapped are loaded too",
       "ports=80\naccess=80=" + DIGEST_A + ",9000=" + DIGEST_B + "\n",
       {{80, DIGEST_A}, {9000, DIGEST_B}}},
      {"items that are not port=digest are skipped",
       "access=80=" + DIGEST_A + ",81=short,abc=" + DIGEST_B + ",0=" + DIGEST_B + "\n",
       {{80, DIGEST_A}}},
      {"no line", "ports=80\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_saved_access(key_file(HEADER + c.lines)), c.expected) << c.name;
  }
}

TEST_F(SavedSettings, AMissingOrUnreadableFileGivesEmptyResults) {
  auto missing = dir_.path() / "missing.ini";
  EXPECT_TRUE(load_saved_ports(missing).empty());
  EXPECT_TRUE(load_saved_access(missing).empty());
  EXPECT_TRUE(load_saved_targets(missing).empty());

  auto not_text = key_file("ports=80\n\xff\xfe\n");
  EXPECT_TRUE(load_saved_ports(not_text).empty());

  EXPECT_TRUE(load_saved_ports(dir_.path()).empty()) << "a folder is no key file";
}

}  // namespace
}  // namespace quillmar

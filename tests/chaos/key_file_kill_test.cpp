// The client killed (SIGKILL) fifty times while the console changes its settings as
// fast as it answers: mappings, the invite code and the device name, each from a writer
// of its own. After every kill the key file parses, still holds the device's token, and
// holds for each setting the value last confirmed to its writer or the one in flight:
// nothing confirmed is ever lost.
#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "chaos_support.hpp"
#include "proto/text.hpp"
#include "settings/key_file.hpp"
#include "settings/saved_settings.hpp"

namespace quillmar::test {
namespace {

constexpr int KILLS = 50;
constexpr auto LONGEST_RUN = std::chrono::milliseconds(250);

// One POST to the console and whether it was confirmed ("ok":true); false once the
// client is gone.
bool confirmed_post(std::uint16_t ui, const std::string& path, const std::string& body) {
  const std::string request =
      "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ui) +
      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  asio::io_context io;
  const std::string reply = run_async(io, exchange(ui, request), WAIT);
  return reply.find("\"ok\":true") != std::string::npos;
}

// One setting of the key file changed again and again: what was last confirmed, and
// what is in flight.
class SettingWriter {
 public:
  using Step = std::function<std::string(int)>;

  // value: the key's value after step n; body: the request body of step n.
  SettingWriter(std::string key, std::string path, Step value, Step body)
      : key_(std::move(key)),
        path_(std::move(path)),
        value_(std::move(value)),
        body_(std::move(body)) {}

  const std::string& key() const { return key_; }

  // Writes from step `first` on until the client stops answering.
  void run(std::uint16_t ui, int first, std::string before) {
    {
      std::lock_guard lock(mutex_);
      confirmed_ = std::move(before);
      in_flight_.reset();
    }
    for (int n = first;; ++n) {
      {
        std::lock_guard lock(mutex_);
        in_flight_ = value_(n);
      }
      if (!confirmed_post(ui, path_, body_(n))) return;
      std::lock_guard lock(mutex_);
      confirmed_ = *in_flight_;
      in_flight_.reset();
      ++confirmations_;
      last_step_ = n;
    }
  }

  // Empty when the file's value is one the writer may have left; else what is wrong.
  std::string check(const std::optional<std::string>& in_file) const {
    std::lock_guard lock(mutex_);
    const std::string held = in_file.value_or("(no line)");
    if (held == confirmed_ || (in_flight_ && held == *in_flight_)) return {};
    return key_ + ": the file holds " + quoted_form(held) + ", the last confirmed value was " +
           quoted_form(confirmed_) +
           (in_flight_ ? " and " + quoted_form(*in_flight_) + " was in flight"
                       : std::string(" and nothing was in flight"));
  }

  int next_step() const {
    std::lock_guard lock(mutex_);
    return last_step_ + 2;  // past the one that may have been in flight
  }
  std::size_t confirmations() const {
    std::lock_guard lock(mutex_);
    return confirmations_;
  }

 private:
  std::string key_;
  std::string path_;
  Step value_;
  Step body_;
  mutable std::mutex mutex_;
  std::string confirmed_;
  std::optional<std::string> in_flight_;
  std::size_t confirmations_ = 0;
  int last_step_ = 0;
};

// A setting the console takes as one JSON string field named as its key-file line.
SettingWriter text_setting(const std::string& key, const std::string& path,
                           const std::string& prefix) {
  auto value = [prefix](int n) { return prefix + std::to_string(n); };
  return SettingWriter(key, path, value,
                       [key, value](int n) { return "{\"" + key + "\":\"" + value(n) + "\"}"; });
}

std::string line_value(const std::string& text, std::string_view key) {
  return saved_line_value(text, key).value_or("(no line)");
}

TEST(ClientKills, KeyFileAlwaysParsesKeepsItsTokenAndLosesNoConfirmedChange) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  ClientSetup setup;
  write_file(setup.key_file(), std::string(KEY_HEADER) + "token=" + std::string(TEST_TOKEN) +
                                   "\nsub=kill-0\nports=10000\ntargets=10000@h0.lan\n");
  // Nothing listens on the gateway's port: the client keeps trying, the console serves.
  const std::vector<std::string> args = {"--gw",     "127.0.0.1:" + std::to_string(free_port()),
                                         "--domain", std::string(TEST_DOMAIN),
                                         "--tls",    "off"};

  SettingWriter mappings(
      "ports", "/api/ports", [](int n) { return std::to_string(10000 + n); },
      [](int n) {
        return "{\"ports\":[{\"port\":" + std::to_string(10000 + n) + ",\"host\":\"h" +
               std::to_string(n) + ".lan\"}]}";
      });
  SettingWriter invite = text_setting("invite", "/api/invite", "code-");
  SettingWriter name = text_setting("sub", "/api/subdomain", "kill-");

  std::size_t leftovers = 0;
  for (int kill = 1; kill <= KILLS; ++kill) {
    const std::string before = read_file(setup.key_file());
    // The same console port every time, as a user's restart has it.
    const std::uint16_t ui = setup.ui;
    ChildProcess client(client_options(setup, args));
    ASSERT_TRUE(client.wait_for_out(console_line(ui), WAIT)) << client.describe();
    std::vector<std::thread> threads;
    for (auto* writer : {&mappings, &invite, &name}) {
      threads.emplace_back(
          [&, writer] { writer->run(ui, writer->next_step(), line_value(before, writer->key())); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(
        std::uniform_int_distribution<int>(10, LONGEST_RUN.count())(random)));
    client.kill();
    ASSERT_TRUE(client.wait_exit(WAIT)) << "the client did not die";
    for (auto& thread : threads) thread.join();

    auto text = read_key_text(setup.key_file());
    ASSERT_TRUE(text.ok()) << "kill " << kill
                           << ": the key file cannot be read: " << text.error().display();
    const Creds creds = parse_creds(setup.key_file(), text.value());
    ASSERT_EQ(creds.token, TEST_TOKEN) << "kill " << kill << ": the token is lost\n"
                                       << text.value();
    ASSERT_EQ(count_of(text.value(), "\ntoken="), 1u) << text.value();
    for (const auto* writer : {&mappings, &invite, &name}) {
      ASSERT_EQ(writer->check(saved_line_value(text.value(), writer->key())), "")
          << "kill " << kill << "\n"
          << text.value();
    }
    if (std::filesystem::exists(setup.key_file().string() + ".tmp")) ++leftovers;
  }
  report_figures(
      "client_kills",
      "chaos: " + std::to_string(KILLS) + " client kills during settings writes (seed " +
          std::to_string(seed) + "): " +
          std::to_string(mappings.confirmations() + invite.confirmations() + name.confirmations()) +
          " confirmed writes; key file parsed every time, token kept, no confirmed "
          "change lost; " +
          std::to_string(leftovers) + " kills left a temporary file beside it");
}

}  // namespace
}  // namespace quillmar::test

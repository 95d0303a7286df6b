// Shared pieces of the Windows desktop tests: the hidden main window on the test's own
// thread with a real key file, SharedState and channel ends; recorders standing in for
// Shell_NotifyIconW (and passing the call on) and MessageBoxW (answering as scripted).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "desktop/windows/main_window.hpp"
#include "desktop/windows/wide_text.hpp"
#include "scoped_env.hpp"

namespace quillmar::test {

inline const std::string KEY_START = "# key\ntoken=0123456789abcdef0123456789abcdef\n";

struct NotifyRecord {
  DWORD message;
  HWND window;
  UINT id;
  UINT flags;
  UINT callback_message;
  HICON icon;
  std::wstring tip;
  BOOL result;
};

// Passes every call on to Shell_NotifyIconW and keeps what it was given.
class NotifyRecorder {
 public:
  NotifyIconCall call() {
    return [this](DWORD message, NOTIFYICONDATAW* data) {
      BOOL result = Shell_NotifyIconW(message, data);
      records.push_back({message, data->hWnd, data->uID, data->uFlags, data->uCallbackMessage,
                         data->hIcon, data->szTip, result});
      return result;
    };
  }
  std::vector<NotifyRecord> records;
};

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::wstring caption;
  UINT type;
};

// Answers the questions in order (No once the script is used up) and keeps every box.
class MessageBoxScript {
 public:
  explicit MessageBoxScript(std::deque<int> answers = {}) : answers_(std::move(answers)) {}
  MessageBoxCall call() {
    return [this](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
      records.push_back({owner, from_wide(text), caption, type});
      if ((type & MB_YESNO) == 0) return IDOK;
      if (answers_.empty()) return IDNO;
      int answer = answers_.front();
      answers_.pop_front();
      return answer;
    };
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& record : records) out.push_back(record.text);
    return out;
  }
  std::vector<MessageBoxRecord> records;

 private:
  std::deque<int> answers_;
};

// Dispatches what is queued for this thread; WM_QUIT is left alone for the test to see.
inline void pump_messages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message != WM_QUIT &&
         PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Pumps messages until the condition holds or the limit passes.
inline bool pump_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    pump_messages();
  }
  return true;
}

// Takes the WM_QUIT that a destroyed main window posted; true when there was one.
inline bool take_quit_message() {
  MSG message;
  return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// Under Xvfb there is no window manager, and Wine hides its stand-alone notification
// area whenever it becomes empty, waiting two seconds for a manager that never answers.
// One icon of the test process's own stays there for the whole run.
inline void keep_notification_area_open() {
  static const bool kept = [] {
    HWND owner =
        CreateWindowExW(0, L"STATIC", L"keeper", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = owner;
    data.uID = 99;
    data.uFlags = NIF_ICON;
    data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
  }();
  (void)kept;
}

// The shell settings in a folder of their own (APPDATA), so the first-run offer is made
// only where a test wants it.
struct ShellSettingsDir {
  TempDir dir;
  ScopedEnv appdata{"APPDATA", path_to_utf8(dir.path())};
  std::filesystem::path file() const { return dir.path() / "Quillmar" / "shell.ini"; }
  void mark_offer_done() const {
    std::filesystem::create_directories(file().parent_path());
    write_file(file(), "offer_done=1\n");
  }
  std::string text() const {
    return std::filesystem::exists(file()) ? read_file(file()) : std::string();
  }
};

struct TestWindowOptions {
  bool offer_done = true;  // false: WM_CREATE makes the first-run offer
  std::deque<int> answers{};
  std::function<void(SharedState&)> prepare{};  // before the window exists
};

// A hidden main window made by create_main_window on this thread.
class TestWindow {
 public:
  explicit TestWindow(TestWindowOptions options = {}) : boxes(std::move(options.answers)) {
    static const bool registered =
        register_main_window_class(GetModuleHandleW(nullptr), LoadIconW(nullptr, IDI_APPLICATION));
    EXPECT_TRUE(registered);
    keep_notification_area_open();
    if (options.offer_done) settings.mark_offer_done();
    shared->key_path = keys.path() / "id.ini";
    write_file(shared->key_path, KEY_START);
    shared->sub.set("desk");
    if (options.prepare) options.prepare(*shared);
    auto [reload_tx, reload_receiver] = make_queue<Signal>(0);
    auto [exit_tx, exit_receiver] = make_queue<Signal>(0);
    reload_rx.emplace(std::move(reload_receiver));
    exit_rx.emplace(std::move(exit_receiver));
    state = std::make_unique<WindowState>(
        GuiContext{"example.test", shared, std::move(reload_tx), std::move(exit_tx), 7},
        LoadIconW(nullptr, IDI_APPLICATION));
    state->notify_icon = notify.call();
    state->message_box = boxes.call();
    window = create_main_window(GetModuleHandleW(nullptr), *state);
  }
  ~TestWindow() {
    if (IsWindow(window)) DestroyWindow(window);
    take_quit_message();
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  static int take(std::optional<Receiver<Signal>>& receiver) {
    int count = 0;
    while (receiver->try_receive()) ++count;
    return count;
  }
  int reloads() { return take(reload_rx); }
  int exits() { return take(exit_rx); }
  std::string key_text() const { return read_file(shared->key_path); }

  ShellSettingsDir settings;
  TempDir keys;
  SharedStatePtr shared = std::make_shared<SharedState>();
  std::optional<ReloadReceiver> reload_rx;
  std::optional<ExitReceiver> exit_rx;
  NotifyRecorder notify;
  MessageBoxScript boxes;
  std::unique_ptr<WindowState> state;
  HWND window = nullptr;
};

}  // namespace quillmar::test

// Starting the GUI thread: a detached thread with a 2 MiB stack, which the standard
// library cannot ask for; CreateThread on Windows, pthreads elsewhere.
#include "desktop/gui.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>

#include "app/output.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace quillmar {
namespace {

constexpr std::size_t GUI_STACK_SIZE = 2 * 1024 * 1024;

[[noreturn]] void thread_spawn_failed(int code) {
  print_err("failed to spawn thread: " + std::system_category().message(code) + "\n");
  std::abort();
}

#ifdef _WIN32
DWORD WINAPI gui_main(LPVOID raw) {
  std::unique_ptr<GuiContext> context(static_cast<GuiContext*>(raw));
  run_gui(std::move(*context));
  return 0;
}
#else
void* gui_main(void* raw) {
  std::unique_ptr<GuiContext> context(static_cast<GuiContext*>(raw));
  run_gui(std::move(*context));
  return nullptr;
}
#endif

}  // namespace

void start_gui_thread(GuiContext context) {
  auto owned = std::make_unique<GuiContext>(std::move(context));
#ifdef _WIN32
  HANDLE thread = CreateThread(nullptr, GUI_STACK_SIZE, gui_main, owned.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) thread_spawn_failed(static_cast<int>(GetLastError()));
  owned.release();
  CloseHandle(thread);
#else
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, GUI_STACK_SIZE);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, gui_main, owned.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) thread_spawn_failed(error);
  owned.release();
#endif
}

}  // namespace quillmar

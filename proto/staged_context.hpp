// An io_context whose shutdown and the destruction of its services can be asked for
// before its own destruction: where the handlers of one context hold objects of another,
// every context is shut down before any is destroyed, each exactly once (a second
// shutdown would join Asio's timer thread again on Windows and close its handles twice).
#pragma once

#include <asio/io_context.hpp>

namespace quillmar {

class StagedContext : public asio::io_context {
 public:
  using asio::execution_context::destroy;
  using asio::execution_context::shutdown;
  using asio::io_context::io_context;
};

}  // namespace quillmar

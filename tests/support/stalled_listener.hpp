// A loopback listener that never lets a connection complete: its accept queue is
// filled by connections nobody accepts, so the system drops a further connection
// attempt's opening segment and the attempt hangs until its deadline. Nothing leaves
// the machine. Systems that refuse such an attempt at once instead leave it unusable
// (stalled() false).
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <vector>

namespace quillmar::test {

class StalledListener {
 public:
  StalledListener() : acceptor_(io_) {
    using asio::ip::tcp;
    acceptor_.open(tcp::v4());
    acceptor_.bind({asio::ip::address_v4::loopback(), 0});
    acceptor_.listen(0);
    const tcp::endpoint endpoint = acceptor_.local_endpoint();
    // Connections complete while the queue has room; the first one that does not
    // complete in time shows that it is full.
    for (int i = 0; i < 16; ++i) {
      auto socket = std::make_unique<tcp::socket>(io_);
      bool done = false;
      std::error_code result;
      socket->async_connect(endpoint, [&](std::error_code ec) {
        done = true;
        result = ec;
      });
      io_.restart();
      io_.run_for(std::chrono::milliseconds(200));
      if (!done) {
        socket->close();
        io_.restart();
        io_.run();  // the aborted attempt's handler
        stalled_ = true;
        return;
      }
      if (result) return;
      fillers_.push_back(std::move(socket));
    }
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  bool stalled() const { return stalled_; }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> fillers_;
  bool stalled_ = false;
};

}  // namespace quillmar::test

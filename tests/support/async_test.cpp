#include "async_test.hpp"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

namespace quillmar::test {

std::pair<asio::ip::tcp::socket, asio::ip::tcp::socket> tcp_pair(asio::io_context& io) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  asio::ip::tcp::socket server = acceptor.accept();
  return {std::move(client), std::move(server)};
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  path_ = std::filesystem::temp_directory_path() /
          ("quillmar-test-" + std::to_string(seed()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;  // a test may have made parts of the folder read-only
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace quillmar::test

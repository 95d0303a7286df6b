// The --front-ca PEM reading: any text gives a verifying configuration or an
// InvalidData error, and nothing else.
#include "fuzz_target.hpp"
#include "proto/tls_config.hpp"

namespace quillmar::fuzz {
namespace {

void pem(Input input) {
  auto config = front_door_tls_config(as_text(input));
  if (config) {
    require(config.value() && config.value()->verifies(),
            "a front-door configuration that does not verify");
  } else {
    require(config.error().kind == ErrorKind::InvalidData,
            "a PEM failure of kind " + std::string(kind_name(config.error().kind)));
  }
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(pem, quillmar::fuzz::pem)

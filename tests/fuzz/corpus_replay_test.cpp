// The kept fuzz inputs of every target (seeds, and the crashes found once) through the
// target's checks, in every ordinary build: a fault fixed stays fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "fuzz_target.hpp"

namespace quillmar::fuzz {
namespace {

const std::filesystem::path CORPUS = QUILLMAR_FUZZ_CORPUS_DIR;

std::vector<std::string> target_names() {
  std::vector<std::string> names;
  for (const auto& [name, function] : registered_targets()) names.push_back(name);
  return names;
}

std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzCorpus : public testing::TestWithParam<std::string> {};

TEST_P(FuzzCorpus, EveryKeptInputPassesTheTargetsChecks) {
  const std::filesystem::path folder = CORPUS / GetParam();
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << "no corpus folder " << folder;
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  EXPECT_FALSE(inputs.empty()) << "no seed inputs in " << folder;
  const TargetFunction target = registered_targets().at(GetParam());
  for (const auto& path : inputs) {
    const auto bytes = file_bytes(path);
    try {
      target(bytes);
    } catch (const std::exception& e) {
      ADD_FAILURE() << path.filename().string() << ": " << e.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, testing::ValuesIn(target_names()),
                         [](const auto& info) { return info.param; });

TEST(FuzzCorpusFolders, EachBelongsToATarget) {
  const auto names = target_names();
  const std::set<std::string> known(names.begin(), names.end());
  for (const auto& entry : std::filesystem::directory_iterator(CORPUS)) {
    EXPECT_TRUE(known.count(entry.path().filename().string()))
        << entry.path() << " has no fuzz target";
  }
}

}  // namespace
}  // namespace quillmar::fuzz

// The fat-binary parser on nvcc's real output (plain, with every entry
// compressed, and PTX alone), and on truncated and corrupted copies of it: an error, never a
// read outside the image (the sanitizer builds check that).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cudart/fatbin.h"

namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Parse(const std::string& image, cudart::KernelLayouts* layouts, std::string* error) {
  return cudart::FatBinary::ReadLayouts(reinterpret_cast<const uint8_t*>(image.data()), image.size(), layouts,
                                        error, /*with_ptx=*/true);
}

// What nvcc 13 lays out for layout_kernels.cu.
void ExpectKnownLayouts(const cudart::KernelLayouts& layouts) {
  ASSERT_EQ(layouts.count("_Z5mixedPKfPfic4Paird"), 1u);
  const cudart::KernelLayout& mixed = layouts.at("_Z5mixedPKfPfic4Paird");
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{0, 8}, {8, 8}, {16, 4}, {20, 1}, {24, 16}, {40, 8}};
  ASSERT_EQ(mixed.params.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(mixed.params[i].offset, expected[i].first) << "parameter " << i;
    EXPECT_EQ(mixed.params[i].size, expected[i].second) << "parameter " << i;
  }
  EXPECT_EQ(mixed.buffer_bytes, 48u);
  ASSERT_EQ(layouts.count("_Z4fillILi256EEvPi"), 1u);
  EXPECT_EQ(layouts.at("_Z4fillILi256EEvPi").params.size(), 1u);
  ASSERT_EQ(layouts.count("_Z5emptyv"), 1u);
  EXPECT_TRUE(layouts.at("_Z5emptyv").params.empty());
}

// What the cubins record of each kernel's resources (a PTX-only image
// records none): the register count is the compiler's choice, the rest is
// the source's.
void ExpectKnownResources(const cudart::KernelLayouts& layouts, bool from_cubin) {
  ASSERT_EQ(layouts.count("_Z5heavyPii"), 1u);
  const cudart::KernelResources& heavy = layouts.at("_Z5heavyPii").resources;
  const cudart::KernelResources& empty = layouts.at("_Z5emptyv").resources;
  if (!from_cubin) {
    EXPECT_EQ(heavy.registers + heavy.shared_bytes + heavy.local_bytes + heavy.max_threads, 0u);
    return;
  }
  EXPECT_GT(heavy.registers, 0u);
  EXPECT_EQ(heavy.shared_bytes, 400u);
  EXPECT_GE(heavy.local_bytes, 1024u);
  EXPECT_EQ(heavy.max_threads, 128u);
  EXPECT_GE(heavy.binary_version, 75u);
  EXPECT_EQ(empty.shared_bytes + empty.local_bytes + empty.max_threads, 0u);
  EXPECT_EQ(empty.binary_version, heavy.binary_version);
}

class FatBinaryTest : public testing::TestWithParam<const char*> {};

TEST_P(FatBinaryTest, ReadsNvccOutputAndRejectsDamagedCopies) {
  const std::string image = ReadFile(GetParam());
  ASSERT_GT(image.size(), 64u) << GetParam();
  cudart::KernelLayouts layouts;
  std::string error;
  ASSERT_TRUE(Parse(image, &layouts, &error)) << error;
  ExpectKnownLayouts(layouts);
  ExpectKnownResources(layouts, std::string(GetParam()) != ZANTU_FATBIN_PTX);

  // Every truncation fails: the header's size no longer fits. Each copy is a
  // buffer of its own, so reading past it is caught.
  for (size_t size = 0; size < image.size(); ++size) {
    std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    cudart::KernelLayouts ignored;
    error.clear();
    EXPECT_FALSE(cudart::FatBinary::ReadLayouts(cut.data(), cut.size(), &ignored, &error, true)) << size;
    EXPECT_FALSE(error.empty());
  }

  // Corrupted bytes anywhere, and sizes set to extremes: parsed or refused,
  // and a parsed layout keeps every parameter inside its buffer.
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad(image.begin(), image.end());
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      const size_t at = random() % bad.size();
      bad[at] = (round % 3 == 0) ? 0xff : static_cast<uint8_t>(random());
    }
    cudart::KernelLayouts out;
    error.clear();
    if (!cudart::FatBinary::ReadLayouts(bad.data(), bad.size(), &out, &error, true)) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    for (const auto& [name, layout] : out) {
      for (const cudart::KernelParam& p : layout.params) EXPECT_LE(p.offset + p.size, layout.buffer_bytes) << name;
    }
  }
}

// Cubins and PTX as nvcc writes them by default; every entry compressed; PTX
// alone (a virtual architecture only), read from the text.
INSTANTIATE_TEST_SUITE_P(Nvcc, FatBinaryTest,
                         testing::Values(ZANTU_FATBIN_PLAIN, ZANTU_FATBIN_COMPRESSED, ZANTU_FATBIN_PTX));

}  // namespace

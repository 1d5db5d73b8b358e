// Reads and writes that fail midway, come in small pieces or are interrupted, played by
// the link-time fake of read(2) and write(2).

#include <gtest/gtest.h>
#include <openssl/opensslv.h>
#include <unistd.h>

#include <filesystem>

#include "decrypt.hpp"
#include "fake_io.hpp"
#include "key.hpp"
#include "process.hpp"
#include "support.hpp"

namespace ecbcat::test {
namespace {

Bytes prefix(const Bytes& b, std::size_t n) {
  return Bytes(b.begin(), b.begin() + n);
}

TEST(Faults, OutputIsExactlyWhatPassedBeforeTheFault) {
  const std::size_t c = chunk_size;
  const Bytes in = random_bytes(2 * c + 1000, 21);
  const Bytes ref = reference_decrypt(key, in);
  struct Case {
    const char* name;
    FaultScript rd, wr;
    Fault fault;
    int error;
    std::size_t out_len;
  } cases[] = {
      {"read fails at once", failing_at(0), {}, Fault::read, EIO, 0},
      {"read fails mid-block", failing_at(c + 100), {}, Fault::read, EIO, c + 96},
      {"read fails on a chunk edge", failing_at(c), {}, Fault::read, EIO, c},
      {"read fails after small pieces",
       failing_at(5000, EIO, {7, 0, 100}),
       {},
       Fault::read,
       EIO,
       4992},
      {"write fails at once", {}, failing_at(0, ENOSPC), Fault::write, ENOSPC, 0},
      {"write fails mid-chunk", {}, failing_at(c + 40, ENOSPC), Fault::write, ENOSPC, c + 40},
      {"write fails after single bytes", {}, failing_at(1000, EIO, {1}), Fault::write, EIO, 1000},
      {"reads of one byte, interrupted", in_pieces({1, 0}), {}, Fault::none, 0, ref.size()},
      {"writes of one byte, interrupted", {}, in_pieces({1, 0, 3}), Fault::none, 0, ref.size()},
      {"would block on both sides", in_pieces({would_block, 4096}),
       in_pieces({would_block, 5000, would_block}), Fault::none, 0, ref.size()},
      {"interrupted on both sides", in_pieces({0, 4096, 0, 13}), in_pieces({0, 0, 5000}),
       Fault::none, 0, ref.size()},
  };
  for (const auto& c : cases) {
    Scripted r = decrypt_scripted(key, in, c.rd, c.wr);
    EXPECT_EQ(r.outcome.fault, c.fault) << c.name;
    EXPECT_EQ(r.outcome.error, c.error) << c.name;
    EXPECT_EQ(r.out, prefix(ref, c.out_len)) << c.name;
  }
}

// OpenSSL 3 queues a reason for a cipher no provider has; 1.1.1 has none to give.
#if OPENSSL_VERSION_MAJOR >= 3
constexpr const char* no_cipher_message =
    "failed setting up AES-128-ECB: error:0308010C:digital envelope routines::unsupported\n";
#else
constexpr const char* no_cipher_message =
    "failed setting up AES-128-ECB: libcrypto gave no reason\n";
#endif

TEST(Faults, CommandReportsMidwayFaults) {
  const Bytes in = random_bytes(3 * chunk_size + 5, 22);
  const Bytes ref = reference_decrypt(key, in);
  auto path = std::filesystem::temp_directory_path() / ("ecbcat-fault-" + std::to_string(getpid()));
  write_file(path, in);
  struct Case {
    std::string env, err;
    std::size_t out_len;
  } cases[] = {
      {"ECBCAT_FAIL_READ_AT=200005", "failed reading file: Input/output error\n", 200000},
      {"ECBCAT_FAIL_WRITE_AT=200005", "failed writing output: Input/output error\n", 200005},
      {"ECBCAT_FAIL_READ_AT=0", "failed reading file: Input/output error\n", 0},
      {"ECBCAT_NO_CIPHER=1", no_cipher_message, 0},
  };
  for (const auto& c : cases) {
    Result r = run(ECBCAT_FAULTY, {"ecbcat", path.string()}, {.env = {c.env}});
    EXPECT_EQ(r.status, 255) << c.env;
    EXPECT_EQ(r.err, c.err) << c.env;
    EXPECT_TRUE(r.out == std::string(ref.begin(), ref.begin() + c.out_len)) << c.env;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace ecbcat::test

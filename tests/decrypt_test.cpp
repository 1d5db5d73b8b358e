// The decryption unit driven through real descriptors: memory files, pipes fed in pieces,
// and descriptors that refuse to read or write.

#include "decrypt.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <thread>

#include "fake_io.hpp"
#include "fdio.hpp"
#include "key.hpp"
#include "support.hpp"

namespace ecbcat::test {
namespace {

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    r = fds[0];
    w = fds[1];
  }
  ~Pipe() { close_read(), close_write(); }
  void close_read() { r >= 0 && ::close(r), r = -1; }
  void close_write() { w >= 0 && ::close(w), w = -1; }
};

// Runs the unit from a memory file into a memory file.
Bytes decrypt_bytes(std::span<const unsigned char, 16> k, const Bytes& in) {
  Scripted r = decrypt_scripted(k, in);
  EXPECT_EQ(r.outcome.fault, Fault::none);
  return r.out;
}

TEST(Decrypt, KnownAnswers) {
  struct Case {
    const char* name;
    std::span<const unsigned char, 16> key;
    Bytes ciphertext, plaintext;
  };
  const Case cases[] = {
      {"FIPS-197 C.1", fips_key, from_hex("69c4e0d86a7b0430d8cdb78070b4c55a"),
       from_hex("00112233445566778899aabbccddeeff")},
      {"built-in key, examples/", key, read_file(ECBCAT_EXAMPLES "/hello.enc"),
       read_file(ECBCAT_EXAMPLES "/hello.txt")},
      {"empty input", key, {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(decrypt_bytes(c.key, c.ciphertext), c.plaintext) << c.name;
}

TEST(Decrypt, ShortLastBlockBorrowsThePreviousBlocksTail) {
  // Spelled out once by hand, independently of the reference: 16 + 5 bytes decrypt as
  // block 0, then the 5 trailing bytes followed by bytes 5..15 of block 0.
  Bytes in = random_bytes(21, 7);
  Bytes last(in.begin() + 16, in.end());
  last.insert(last.end(), in.begin() + 5, in.begin() + 16);
  Bytes first(in.begin(), in.begin() + 16);
  Bytes expected = decrypt_bytes(key, first);
  Bytes tail = decrypt_bytes(key, last);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(decrypt_bytes(key, in), expected);

  // A lone short block is completed with zero bytes.
  Bytes padded = {1, 2, 3};
  padded.resize(16, 0);
  EXPECT_EQ(decrypt_bytes(key, Bytes{1, 2, 3}), decrypt_bytes(key, padded));
}

TEST(Decrypt, SizesAroundBlockAndChunkBoundariesMatchReference) {
  const std::size_t c = chunk_size;
  const std::size_t sizes[] = {1,      15,    16, 17,    31,     32,     33,        255,
                               c - 16, c - 1, c,  c + 1, c + 15, c + 16, 2 * c + 5, 3 * c + 31};
  for (std::size_t n : sizes) {
    Bytes in = random_bytes(n, static_cast<std::uint32_t>(n));
    Bytes out = decrypt_bytes(key, in);
    EXPECT_EQ(out.size(), (n + 15) / 16 * 16) << n;
    EXPECT_EQ(out, reference_decrypt(key, in)) << n;
    EXPECT_EQ(decrypt_bytes(fips_key, in), reference_decrypt(fips_key, in)) << n;
  }
}

TEST(Decrypt, EqualCiphertextBlocksGiveEqualPlaintextBlocks) {
  Bytes block = random_bytes(16, 3), in = random_bytes(16 * 10, 4);
  std::copy(block.begin(), block.end(), in.begin() + 16);
  std::copy(block.begin(), block.end(), in.begin() + 16 * 7);
  Bytes out = decrypt_bytes(key, in);
  EXPECT_TRUE(std::equal(out.begin() + 16, out.begin() + 32, out.begin() + 16 * 7));
}

// Feeds `in` into a pipe in pieces of the given sizes (cycled), as a slow producer would.
TEST(Decrypt, PipeFedInPiecesMatchesReference) {
  const std::vector<std::size_t> schedules[] = {{1},         {3, 7}, {16},
                                                {17, 1, 30}, {4099}, {chunk_size + 5}};
  Bytes in = random_bytes(3 * chunk_size + 21, 11);
  for (const auto& pieces : schedules) {
    Pipe p;
    std::thread producer([&] {
      std::size_t pos = 0;
      for (std::size_t i = 0; pos < in.size(); ++i) {
        std::size_t n = std::min(pieces[i % pieces.size()], in.size() - pos);
        ASSERT_EQ(::write(p.w, in.data() + pos, n), static_cast<ssize_t>(n));
        pos += n;
      }
      p.close_write();
    });
    int out_fd = memfd_with({});
    Outcome o = decrypt_stream(key, p.r, out_fd);
    producer.join();
    EXPECT_EQ(o.fault, Fault::none);
    EXPECT_EQ(contents_of(out_fd), reference_decrypt(key, in)) << "first piece " << pieces[0];
    ::close(out_fd);
  }
}

// Reads exactly n bytes from fd, or fails the test if they do not come within 10 s.
Bytes read_exactly(int fd, std::size_t n) {
  Bytes got(n);
  for (std::size_t have = 0; have < n;) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 10'000) != 1) {
      ADD_FAILURE() << "only " << have << " of " << n << " bytes arrived";
      return {};
    }
    ssize_t r = ::read(fd, got.data() + have, n - have);
    if (r <= 0) return {};
    have += static_cast<std::size_t>(r);
  }
  return got;
}

TEST(Decrypt, WritesEveryCompleteBlockAsSoonAsItArrives) {
  Pipe in, out;
  Bytes data = random_bytes(32 + 5, 5);
  Outcome o;
  std::thread worker([&] { o = decrypt_stream(key, in.r, out.w); });
  Bytes expected = reference_decrypt(key, data);
  // The producer pauses after 32 bytes and 5 more: both blocks must come out meanwhile.
  ASSERT_EQ(::write(in.w, data.data(), 32 + 5), 37);
  EXPECT_EQ(read_exactly(out.r, 32), Bytes(expected.begin(), expected.begin() + 32));
  in.close_write();
  EXPECT_EQ(read_exactly(out.r, 16), Bytes(expected.begin() + 32, expected.end()));
  worker.join();
  EXPECT_EQ(o.fault, Fault::none);
}

TEST(Decrypt, PipesGrowButNeverShrink) {
  struct Case {
    int start, room, expected;
  } cases[] = {{64 << 10, 1 << 20, 1 << 20}, {256 << 10, 128 << 10, 256 << 10}};
  for (const auto& c : cases) {
    Pipe p;
    ASSERT_EQ(::fcntl(p.w, F_SETPIPE_SZ, c.start), c.start);
    widen_pipe(p.w, c.room);
    EXPECT_EQ(::fcntl(p.r, F_GETPIPE_SZ), c.expected) << c.start << " to " << c.room;
  }
}

TEST(Decrypt, FailingDescriptorsAreReportedWithTheirErrno) {
  Pipe broken;
  broken.close_read();
  int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  int data = memfd_with(random_bytes(100, 1));
  int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct Case {
    const char* name;
    int in, out;
    Fault fault;
    int error;
  } cases[] = {
      {"directory as input", dir, read_only, Fault::read, EISDIR},
      {"write-only input", full, read_only, Fault::read, EBADF},
      {"closed input", 12345, read_only, Fault::read, EBADF},
      {"full output", data, full, Fault::write, ENOSPC},
      {"read-only output", data, read_only, Fault::write, EBADF},
      {"closed output", data, 12345, Fault::write, EBADF},
      {"pipe without reader, SIGPIPE ignored", data, broken.w, Fault::write, EPIPE},
  };
  auto old = std::signal(SIGPIPE, SIG_IGN);
  for (const auto& c : cases) {
    ::lseek(data, 0, SEEK_SET);
    Outcome o = decrypt_stream(key, c.in, c.out);
    EXPECT_EQ(o.fault, c.fault) << c.name;
    EXPECT_EQ(o.error, c.error) << c.name;
  }
  std::signal(SIGPIPE, old);
  for (int fd : {dir, full, data, read_only}) ::close(fd);
}

}  // namespace
}  // namespace ecbcat::test

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/platform.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testing_support {

namespace fs = std::filesystem;

std::wstring Fixture(const std::string& name) {
  return platform::Utf8ToWide(std::string(NORVANE_FIXTURES) + "/" + name);
}

std::wstring ScratchDir(const std::string& name) {
  fs::path p = fs::path(platform::Utf8ToWide(NORVANE_SCRATCH)) / platform::Utf8ToWide(name);
  std::error_code ec;
  fs::remove_all(p, ec);
  fs::create_directories(p, ec);
  return p.wstring();
}

std::vector<std::uint8_t> ReadBytes(const std::wstring& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

img::Bytes ShareBytes(std::vector<std::uint8_t> bytes) {
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}

img::Bytes FixtureBytes(const std::string& name) { return ShareBytes(ReadBytes(Fixture(name))); }

void Put16(std::vector<std::uint8_t>* v, std::uint32_t x) {
  v->push_back(static_cast<std::uint8_t>(x));
  v->push_back(static_cast<std::uint8_t>(x >> 8));
}

void Put32(std::vector<std::uint8_t>* v, std::uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

void ExpectMatchesRgba(const std::vector<std::uint8_t>& bgra, std::uint32_t width,
                       const std::string& referenceFile, int tolerance, Clear clear) {
  const std::vector<std::uint8_t> ref = ReadBytes(Fixture(referenceFile));
  ASSERT_EQ(ref.size(), bgra.size()) << referenceFile;
  ASSERT_GT(width, 0u);
  static constexpr int kSwap[4] = {2, 1, 0, 3};
  int bad = 0;
  for (std::size_t i = 0; i < ref.size() && bad < 5; i += 4) {
    const std::uint8_t* got = &bgra[i];
    const std::uint8_t* want = &ref[i];
    bool same = true;
    if (want[3] == 0 && clear == Clear::AllZero) {
      same = got[0] == 0 && got[1] == 0 && got[2] == 0 && got[3] == 0;
    } else {
      for (int c = 0; c < 4 && same; ++c) {
        if (c < 3 && clear == Clear::IgnoreColour && want[3] == 0 && got[3] == 0) continue;
        same = std::abs(int{got[c]} - int{want[kSwap[c]]}) <= tolerance;
      }
    }
    if (!same) {
      ++bad;
      ADD_FAILURE() << referenceFile << " pixel " << i / 4 % width << "," << i / 4 / width
                    << ": got BGRA " << int{got[0]} << " " << int{got[1]} << " " << int{got[2]}
                    << " " << int{got[3]} << ", want RGBA " << int{want[0]} << " " << int{want[1]}
                    << " " << int{want[2]} << " " << int{want[3]};
    }
  }
}

std::uint32_t Decoded::At(std::uint32_t x, std::uint32_t y) const {
  std::size_t bpp = bgra.size() / (static_cast<std::size_t>(width) * height);
  const std::uint8_t* p = bgra.data() + (static_cast<std::size_t>(y) * width + x) * bpp;
  std::uint32_t a = bpp == 4 ? p[3] : 255;
  return (a << 24) | (static_cast<std::uint32_t>(p[2]) << 16) | (p[1] << 8) | p[0];
}

Decoded DecodeBytes(const img::Bytes& bytes, std::uint32_t index, img::PixelFormat format) {
  Decoded d;
  std::unique_ptr<img::Decoder> dec;
  d.hr = img::CreateDecoderFromMemory(bytes, &dec);
  if (img::Failed(d.hr)) return d;
  d.container = dec->GetContainerFormat();
  d.frames = dec->GetFrameCount();
  std::unique_ptr<img::Frame> frame;
  d.hr = dec->GetFrame(index, &frame);
  if (img::Failed(d.hr)) return d;
  d.width = frame->Width();
  d.height = frame->Height();
  d.native = frame->NativeFormat();
  std::size_t bpp = format == img::PixelFormat::Bgr24 ? 3 : 4;
  std::size_t stride = d.width * bpp;
  d.bgra.assign(stride * d.height, 0);
  d.hr = frame->CopyPixels(format, d.bgra.data(), stride, d.bgra.size());
  if (img::Failed(d.hr)) d.bgra.clear();
  return d;
}

Decoded DecodeFixture(const std::string& name, std::uint32_t index, img::PixelFormat format) {
  return DecodeBytes(FixtureBytes(name), index, format);
}

#ifndef _WIN32
void KillAtRandomMoments(int rounds, std::uint32_t seed, long long maxDelayUs,
                         const std::function<bool(unsigned)>& work,
                         const std::function<void()>& check) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<long long> delay(0, maxDelayUs);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("kill " + std::to_string(round));
    // The delay counts from the moment the child runs, not from the fork.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ready[0]);
      if (write(ready[1], "r", 1) != 1) _exit(100);
      for (unsigned i = static_cast<unsigned>(round);; ++i) {
        if (!work(i)) _exit(101);
      }
    }
    close(ready[1]);
    char c = 0;
    const bool started = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (started) usleep(static_cast<useconds_t>(delay(random)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Killed in the middle of its work, not stopped by a failed save.
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "a save failed: " << status;
    check();
    if (::testing::Test::HasFatalFailure()) return;
  }
}
#endif

}  // namespace testing_support

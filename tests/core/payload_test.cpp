#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>

#include "payload/payload.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

// Every case runs with the reader on the calling thread and on two cores.
class PayloadReader : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override { payload_close(); }

  // Opens a payload whose record stream is `stream` itself (the reader does not
  // care what the bytes mean).
  void open_stream(const std::string& stream, int window_log = 27) {
    fake::state().payload = wrap_payload(compress_frame(stream, window_log));
    payload_open(GetParam(), false);
  }
  std::string read(size_t n) {
    std::string s(n, '\0');
    payload_read(s.data(), n);
    return s;
  }
  int fatal_status(size_t n) {
    try {
      read(n);
    } catch (const FatalExit& e) {
      return e.status;
    }
    return -1;
  }
  // How many bytes can be read one by one before the reader stops the launcher.
  size_t readable_bytes() {
    size_t n = 0;
    try {
      for (unsigned char byte;; ++n) payload_read(&byte, 1);
    } catch (const FatalExit&) {
    }
    return n;
  }
};

TEST_P(PayloadReader, DeliversReadsThatStraddleAndExceedTheDecodedWindow) {
  std::string stream = noise(5 * 131072 + 777, 7);
  open_stream(stream);
  // 100000 + 100000 crosses the first window's end; 300000 spans several steps.
  EXPECT_EQ(read(100000), stream.substr(0, 100000));
  EXPECT_EQ(read(100000), stream.substr(100000, 100000));
  EXPECT_EQ(read(300000), stream.substr(200000, 300000));
  EXPECT_EQ(read(stream.size() - 500000), stream.substr(500000));
}

TEST_P(PayloadReader, CountZeroRunsNoDecodingStep) {
  // Garbage after the magic fails at the first decoding step, so a read of 0
  // bytes that returns shows that no step ran.
  fake::state().payload = wrap_payload("this is not a zstd frame at all");
  payload_open(GetParam(), false);
  payload_read(nullptr, 0);
  EXPECT_EQ(fatal_status(1), 2);
  EXPECT_EQ(fake::state().out, "Error, couldn't decode attached data.\n");
}

TEST_P(PayloadReader, AFullBufferIsFollowedByAStepEvenWhenTheInputIsUsedUp) {
  // Exactly one buffer of output: the step after it produces no bytes and ends
  // the frame, so a further byte is a decoding failure, not a hang or a crash.
  std::string stream = noise(131072, 3);
  open_stream(stream);
  EXPECT_EQ(read(131072), stream);
  EXPECT_EQ(fatal_status(2), 2);
  EXPECT_EQ(fake::state().out, "Error, couldn't decode attached data.\n");
}

TEST_P(PayloadReader, ReadingPastTheEndOfTheFrameFails) {
  open_stream("abc");
  EXPECT_EQ(read(3), "abc");
  EXPECT_EQ(fatal_status(1), 2);
  EXPECT_EQ(fake::state().out, "Error, couldn't decode attached data.\n");
}

TEST_P(PayloadReader, PaddingAndTrailerValuesDoNotMatter) {
  std::string stream = noise(5000, 11);
  std::string payload = wrap_payload(compress_frame(stream));
  for (size_t i = payload.size() - 12; i < payload.size(); ++i) payload[i] = char(0xEE);
  fake::state().payload = payload;
  payload_open(GetParam(), false);
  EXPECT_EQ(read(stream.size()), stream);
}

TEST_P(PayloadReader, ReadsSkipsAndViewsAgreeAcrossManyBuffers) {
  std::string stream = noise((5u << 20) + 4321, 9);
  // A window of 128 KiB: the reader on two cores goes round its buffer many
  // times. A frame that declares its content size (as the zstd command makes
  // from a file) has that buffer hold exactly the content, never wrapping: the
  // last block gets the room that is left.
  const std::pair<const char*, std::string> frames[] = {{"window 2^27", compress_frame(stream)},
                                                        {"window 2^17", compress_frame(stream, 17)},
                                                        {"content size", compress_frame(stream, 27, true)}};
  ASSERT_EQ(ZSTD_getFrameContentSize(frames[2].second.data(), frames[2].second.size()), stream.size());
  for (const auto& [what, frame] : frames) {
    fake::reset();
    fake::state().payload = wrap_payload(frame);
    payload_open(GetParam(), false);
    const size_t steps[] = {1, 70000, 2u << 20, 3, 1u << 20, 3 * 131072 + 5};
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
      size_t n = std::min(steps[i % 6], stream.size() - at);
      const unsigned char* view = nullptr;
      size_t seen = payload_view(n, &view);
      ASSERT_LE(seen, n);
      // Only the reader on two cores holds its bytes where the caller may take them.
      if (GetParam()) {
        ASSERT_GT(seen, 0u);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(view), seen), stream.substr(at, seen));
      }
      if (i % 2 == 0) {
        ASSERT_EQ(read(n), stream.substr(at, n)) << "at " << at << ", " << what;
      } else {
        payload_skip(n);
      }
      at += n;
    }
    const unsigned char* view;
    EXPECT_EQ(payload_view(1, &view), 0u);
    EXPECT_EQ(fatal_status(1), 2);
    payload_close();
  }
}

TEST_P(PayloadReader, AWindowSmallerThanAStepIsReadToo) {
  // The reader on two cores holds a step back until it cannot fail: a window
  // of 4 KiB, whose round buffer may be smaller than that step (zstd versions
  // size it differently), must not leave the decoder waiting for room.
  std::string stream = noise(300000, 12) + std::string(300000, 'z');
  open_stream(stream, 12);
  EXPECT_EQ(read(stream.size()), stream);
}

TEST_P(PayloadReader, ABlockThatFailsLosesTheStepInWhichItWasReached) {
  // The bytes before a reserved block, and what the reader on one thread
  // delivers of them: the steps of 128 KiB before the one that reaches it.
  const std::pair<size_t, size_t> cases[] = {
      {0, 0}, {1000, 0}, {131072, 0}, {131073, 131072}, {3 * 131072 + 5, 3 * 131072}, {600000, 4 * 131072}};
  for (const auto& [before, delivered] : cases) {
    fake::reset();
    std::string frame = stored_frame(std::string(before, 's')) + std::string("\x06\0\0", 3);
    fake::state().payload = wrap_payload(frame);
    payload_open(GetParam(), false);
    EXPECT_EQ(readable_bytes(), delivered) << before << " bytes before the block";
    payload_close();
  }
}

TEST_P(PayloadReader, ABlockCutShortByTheInputsEndEndsTheBytesWithoutLosingAny) {
  // 132072 bytes in stored blocks, then a block of 100000 bytes of which the
  // input holds 50 and the payload's padding and trailer. A stored block is
  // taken as far as it goes; a compressed one waits for the rest.
  const size_t before = 132072;
  for (char type : {'\x00', '\x04'}) {
    fake::reset();
    std::string frame =
        stored_frame(std::string(before, 's')) + std::string{type, '\x35', '\x0c'} + std::string(50, 'x');
    fake::state().payload = wrap_payload(frame);
    payload_open(GetParam(), false);
    size_t tail = fake::state().payload.size() - (3 + frame.size() - 50);
    EXPECT_EQ(readable_bytes(), before + (type == 0 ? tail : 0)) << (type == 0 ? "stored" : "compressed");
    payload_close();
  }
}

TEST_P(PayloadReader, PastTheInputsEndOnlyTheReadThatRanAFullStepRunsAnother) {
  // A frame that never ends, the payload's last bytes (no padding, no
  // trailer): its last block starts 200000 bytes in, so the second step takes
  // the input's last byte and fills its buffer at 262144, leaving 2 bytes in
  // the decoder.
  const std::string stream = noise(262146, 31);
  fake::state().payload = "QOB" + stored_frame(stream);
  payload_open(GetParam(), false);
  EXPECT_EQ(readable_bytes(), 262144u) << "reads of a byte each";
  fake::reset();
  fake::state().payload = "QOB" + stored_frame(stream);
  payload_open(GetParam(), false);
  EXPECT_EQ(read(100000), stream.substr(0, 100000));
  EXPECT_EQ(read(stream.size() - 100000), stream.substr(100000)) << "one read that ran the second step";
  EXPECT_EQ(fatal_status(1), 2);
}

TEST_P(PayloadReader, AStreamThatGoesOnInASecondFrameIsReadOn) {
  std::string first = noise(300000, 21), second = noise(200000, 22);
  fake::state().payload = wrap_payload(compress_frame(first) + compress_frame(second, 20));
  payload_open(GetParam(), false);
  EXPECT_EQ(read(250000), first.substr(0, 250000));
  EXPECT_EQ(read(100000), first.substr(250000) + second.substr(0, 50000));
  EXPECT_EQ(read(150000), second.substr(50000));
  // The padding after it is no frame.
  EXPECT_EQ(fatal_status(1), 2);
}

INSTANTIATE_TEST_SUITE_P(Readers, PayloadReader, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "TwoCores" : "OneThread"; });

TEST(PayloadFailures, EachMagicByteIsChecked) {
  for (int i = 0; i < 3; ++i) {
    fake::reset();
    std::string payload = make_payload({{u"a", "b"}});
    payload[i] ^= 0x20;
    fake::state().payload = payload;
    try {
      payload_open(false, false);
      ADD_FAILURE() << "magic byte " << i << " not checked";
      payload_close();
    } catch (const FatalExit& e) {
      EXPECT_EQ(e.status, 2);
      EXPECT_EQ(fake::state().out, "Error, couldn't find attached data header.\n");
      EXPECT_EQ(fake::state().err, "");
    }
  }
}

TEST(PayloadFailures, APayloadShorterThanTheMagicHasNoHeader) {
  fake::reset();
  fake::state().payload = "QO";
  EXPECT_THROW(payload_open(false, false), FatalExit);
  EXPECT_EQ(fake::state().out, "Error, couldn't find attached data header.\n");
}

TEST(PayloadFailures, CorruptTruncatedAndOversizedFramesAreDecodingErrors) {
  std::string stream = record_stream({{u"f", noise(200000, 5)}});
  std::string frame = compress_frame(stream);
  const std::pair<const char*, std::string> cases[] = {
      {"truncated", wrap_payload(frame.substr(0, frame.size() / 2))},
      // The first block header (after the 6-byte frame header) names a reserved type.
      {"corrupt", wrap_payload(frame.substr(0, 6) + "\xff\xff\xff" + frame.substr(9))},
      {"window 2^28", wrap_payload(compress_frame(stream, 28))},
  };
  for (bool two_cores : {false, true}) {
    for (const auto& [what, payload] : cases) {
      fake::reset();
      fake::state().payload = payload;
      payload_open(two_cores, false);
      std::string sink(stream.size(), '\0');
      try {
        payload_read(sink.data(), sink.size());
        ADD_FAILURE() << what << " frame decoded";
      } catch (const FatalExit& e) {
        EXPECT_EQ(e.status, 2) << what;
        EXPECT_EQ(fake::state().out, "Error, couldn't decode attached data.\n") << what;
      }
      payload_close();
    }
  }
}

}  // namespace

#include "AacFileWriter.h"
#include "AudioDecoder.h"
#include "AudioTestTools.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr int rate = 44100;

std::string fileIn(const TemporaryFolder& dir, const std::string& name) {
    return (dir.path() / name).string();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes `samples` to a new .m4a at `path` in pieces of the given sizes (cycled); one piece of everything
// when `pieces` is empty. Every call must succeed.
void writeClip(const std::string& path, const std::vector<int16_t>& samples,
               const std::vector<size_t>& pieces = {}) {
    AacFileWriter writer;
    ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    size_t offset = 0;
    size_t piece = 0;
    while (offset < samples.size()) {
        const size_t count = pieces.empty()
                                 ? samples.size()
                                 : std::min(pieces[piece++ % pieces.size()], samples.size() - offset);
        ASSERT_EQ(writer.writeFrames(static_cast<uint32_t>(count), samples.data() + offset,
                                     static_cast<uint32_t>(count * 2)),
                  0)
            << "at frame " << offset;
        offset += count;
    }
    ASSERT_EQ(writer.dispose(), 0);
}

DecodedAudio decode(const std::string& path) {
    std::string error;
    std::optional<DecodedAudio> decoded = AudioDecoder::decodeFile(path, &error);
    EXPECT_TRUE(decoded.has_value()) << error;
    return decoded.value_or(DecodedAudio{});
}

// espeak-ng speech, resampled to 44.1 kHz mono s16 by sox (no dither, so it is the same every run).
std::vector<int16_t> makeSpeech(const TemporaryFolder& dir) {
    const std::string wav = fileIn(dir, "speech.wav");
    const std::string raw = fileIn(dir, "speech.raw");
    const CommandResult speak = runCommand("espeak-ng -w " + shellQuote(wav) +
                                           " 'Tempolis keeps the recent past of a microphone. Pull the band "
                                           "out, and the last seconds are saved.'");
    EXPECT_EQ(speak.exitCode, 0) << "espeak-ng is needed (scripts/setup installs it)";
    const CommandResult convert = runCommand(
        "sox -D " + shellQuote(wav) + " -r 44100 -c 1 -b 16 -e signed-integer -t raw " + shellQuote(raw));
    EXPECT_EQ(convert.exitCode, 0) << "sox is needed (scripts/setup installs it)";
    return readRawFile(raw).value_or(std::vector<int16_t>{});
}

// Limits the size of files this process writes; a write past it fails with EFBIG (SIGXFSZ ignored meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

} // namespace

// ---- Length: the container's duration and the decoded sample count are the frames written, exactly.

class ExactLength : public testing::TestWithParam<size_t> {};

TEST_P(ExactLength, DurationAndDecodedCountEqualFramesWritten) {
    const size_t frames = GetParam();
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    ASSERT_NO_FATAL_FAILURE(writeClip(path, makeToneAndNoise(frames)));

    const auto probe = probeFile(path);
    ASSERT_TRUE(probe.has_value()) << "ffprobe could not read the file";
    EXPECT_NE(probe->at("format.format_name").find("mp4"), std::string::npos);
    const DecodedAudio decoded = decode(path);
    if (frames == 0) {
        // No frames: a valid file with no track (the muxer writes no track without samples).
        EXPECT_EQ(probe->at("format.nb_streams"), "0");
        EXPECT_EQ(decoded.sampleRate, 0);
        EXPECT_EQ(decoded.durationSamples, 0);
        EXPECT_TRUE(decoded.samples.empty());
        return;
    }
    EXPECT_EQ(probe->at("format.nb_streams"), "1");
    EXPECT_EQ(probe->at("stream.codec_name"), "aac");
    EXPECT_EQ(probe->at("stream.sample_rate"), "44100");
    EXPECT_EQ(probe->at("stream.channels"), "1");
    EXPECT_EQ(probe->at("stream.time_base"), "1/44100");
    EXPECT_EQ(probe->at("stream.duration_ts"), std::to_string(frames));

    EXPECT_EQ(decoded.codecName, "aac");
    EXPECT_EQ(decoded.sampleRate, rate);
    EXPECT_EQ(decoded.channelCount, 1);
    EXPECT_EQ(decoded.durationSamples, static_cast<int64_t>(frames));
    EXPECT_EQ(decoded.samples.size(), frames);
    // Only the last frame's padding is cut: the priming is gone before the trim.
    EXPECT_GE(decoded.trimmedSamples, 0);
    EXPECT_LT(decoded.trimmedSamples, 1024);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ExactLength,
                         testing::Values(0, 1, 1023, 1024, 1025, 2047, 2048, 44100 * 10 + 7));

// ---- Content.

TEST(AacFileWriter, ToneSurvivesInPlace) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "tone.m4a");
    const std::vector<int16_t> tone = makeTone(1000, 0.5, rate, 5 * rate);
    ASSERT_NO_FATAL_FAILURE(writeClip(path, tone));

    const DecodedAudio decoded = decode(path);
    ASSERT_EQ(decoded.samples.size(), tone.size());
    // The priming is removed exactly: the best match is at lag 0. A tone repeats every 441 samples, so only
    // lags within half a period tell; being off by the 1024 samples of priming is a shift of 142.
    EXPECT_EQ(bestLag(tone, decoded.samples, 22, rate, rate / 2), 0);
    // Measured 36.3 dB for all but the last 2048 samples, 25.2 dB for the whole clip: the encoder smears the
    // abrupt stop of a loud tone over its last ~2000 samples (the ffmpeg tool's file is the same, byte for
    // byte).
    const std::vector<int16_t> body(tone.begin(), tone.end() - 2048);
    EXPECT_GE(snrDb(body, decoded.samples), 30.0);
    EXPECT_GE(snrDb(tone, decoded.samples), 22.0);
}

TEST(AacFileWriter, SpeechSurvivesInPlace) {
    TemporaryFolder dir;
    const std::vector<int16_t> speech = makeSpeech(dir);
    ASSERT_GT(speech.size(), size_t{rate}) << "no speech was made";
    const std::string path = fileIn(dir, "speech.m4a");
    ASSERT_NO_FATAL_FAILURE(writeClip(path, speech));

    const DecodedAudio decoded = decode(path);
    ASSERT_EQ(decoded.samples.size(), speech.size());
    // Speech has no period, so this pins the alignment: any error in the priming or the edit list moves it.
    EXPECT_EQ(bestLag(speech, decoded.samples, 1200, speech.size() / 4, rate / 2), 0);
    // Measured: correlation 0.989, SNR 16.6 dB (clean synthetic speech at the default 69 kb/s; the 12 kHz
    // upper band is cut). The same decoding one sample out of place measures 0.971 and 12.3 dB, so these
    // thresholds fail on any misalignment, on a wrong conversion (scale, byte order) and on silence or noise.
    EXPECT_GE(correlation(speech, decoded.samples), 0.98);
    EXPECT_GE(snrDb(speech, decoded.samples), 14.0);
}

TEST(AacFileWriter, MatchesTheFfmpegCommandLine) {
    // The ffmpeg tool converts s16 to float with its own resampler; our conversion must give the same encoder
    // input, so both files decode to the same samples. Measured: the files are byte-identical.
    TemporaryFolder dir;
    const std::vector<int16_t> samples = makeToneAndNoise(3 * rate + 333, 7);
    const std::string raw = fileIn(dir, "input.raw");
    ASSERT_TRUE(writeRawFile(raw, samples));
    const std::string ours = fileIn(dir, "ours.m4a");
    const std::string theirs = fileIn(dir, "theirs.m4a");
    ASSERT_NO_FATAL_FAILURE(writeClip(ours, samples));
    const CommandResult ffmpeg =
        runCommand("ffmpeg -nostdin -v error -y -f s16le -ar 44100 -ac 1 -i " + shellQuote(raw) +
                   " -c:a aac -aac_coder fast -f ipod -movie_timescale 44100 " + shellQuote(theirs));
    ASSERT_EQ(ffmpeg.exitCode, 0) << "ffmpeg is needed (scripts/setup installs it)";

    const DecodedAudio a = decode(ours);
    const DecodedAudio b = decode(theirs);
    EXPECT_EQ(a.durationSamples, b.durationSamples);
    EXPECT_TRUE(a.samples == b.samples) << "our encoding differs from the ffmpeg tool's";
    // Same encoder input, same encoder, same muxer settings: the very same file.
    EXPECT_TRUE(readBytes(ours) == readBytes(theirs)) << "the files differ";
}

// ---- Write sizes.

TEST(AacFileWriter, ManyOddSizedWritesGiveTheSameFileAsOneWrite) {
    TemporaryFolder dir;
    const std::vector<int16_t> samples = makeToneAndNoise(44100 * 10 + 7, 3);
    const std::string whole = fileIn(dir, "whole.m4a");
    const std::string pieces = fileIn(dir, "pieces.m4a");
    ASSERT_NO_FATAL_FAILURE(writeClip(whole, samples));
    ASSERT_NO_FATAL_FAILURE(
        writeClip(pieces, samples, {1, 3, 1023, 2, 1025, 7, 4097, 511, 9999, 1024, 65537}));

    const DecodedAudio a = decode(whole);
    const DecodedAudio b = decode(pieces);
    EXPECT_EQ(b.samples.size(), samples.size());
    EXPECT_TRUE(a.samples == b.samples);
    EXPECT_TRUE(readBytes(whole) == readBytes(pieces)) << "the files differ";
}

TEST(AacFileWriter, OneWriteOfMillionsOfFrames) {
    TemporaryFolder dir;
    const size_t frames = 3'000'001; // 68 s
    const std::string path = fileIn(dir, "long.m4a");
    ASSERT_NO_FATAL_FAILURE(writeClip(path, makeToneAndNoise(frames, 5)));
    const auto probe = probeFile(path);
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(probe->at("stream.duration_ts"), std::to_string(frames));
    EXPECT_EQ(decode(path).samples.size(), frames);
}

TEST(AacFileWriter, UsesOnlyTheFramesCountedAndAcceptsAnOddByteCount) {
    // Frames are byteCount / 2 for the caller; the odd last byte and anything past frameCount are ignored.
    TemporaryFolder dir;
    const std::vector<int16_t> samples = makeToneAndNoise(3000);
    const std::string path = fileIn(dir, "clip.m4a");
    AacFileWriter writer;
    ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    EXPECT_EQ(writer.writeFrames(1000, samples.data(), 2001), 0);
    EXPECT_EQ(writer.writeFrames(0, nullptr, 0), 0);
    EXPECT_EQ(writer.writeFrames(500, samples.data() + 1000, 4000), 0);
    ASSERT_EQ(writer.dispose(), 0);
    EXPECT_EQ(decode(path).samples.size(), 1500u);
}

// ---- File handling.

TEST(AacFileWriter, ReplacesAnExistingFileAndKeepsItsPermissions) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    {
        std::ofstream junk(path, std::ios::binary);
        junk << std::string(1 << 20, 'x');
    }
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);

    ASSERT_NO_FATAL_FAILURE(writeClip(path, makeToneAndNoise(4410)));
    EXPECT_LT(fs::file_size(path), 1u << 16);
    EXPECT_EQ(decode(path).samples.size(), 4410u);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // And a longer clip replaced by a shorter one is the shorter one.
    ASSERT_NO_FATAL_FAILURE(writeClip(path, makeToneAndNoise(100000)));
    ASSERT_NO_FATAL_FAILURE(writeClip(path, makeToneAndNoise(1025)));
    EXPECT_EQ(probeFile(path)->at("stream.duration_ts"), "1025");
}

TEST(AacFileWriter, DestructorCompletesTheFile) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    const std::vector<int16_t> samples = makeToneAndNoise(5000);
    {
        AacFileWriter writer;
        ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
        ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
        ASSERT_EQ(writer.writeFrames(5000, samples.data(), 10000), 0);
    }
    EXPECT_EQ(decode(path).samples.size(), 5000u);
}

TEST(AacFileWriter, ReusableAfterDispose) {
    TemporaryFolder dir;
    const std::vector<int16_t> samples = makeToneAndNoise(3000);
    AacFileWriter writer;
    ASSERT_EQ(writer.create(fileIn(dir, "a.m4a"), AudioStreamFormat::aacMono(rate)), 0);
    EXPECT_EQ(writer.create(fileIn(dir, "b.m4a"), AudioStreamFormat::aacMono(rate)),
              AacFileWriter::alreadyOpen);
    EXPECT_FALSE(fs::exists(fileIn(dir, "b.m4a")));
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    ASSERT_EQ(writer.writeFrames(3000, samples.data(), 6000), 0);
    ASSERT_EQ(writer.dispose(), 0);
    EXPECT_EQ(writer.dispose(), AacFileWriter::notOpen);

    // A new file starts with no client format and at time zero.
    ASSERT_EQ(writer.create(fileIn(dir, "b.m4a"), AudioStreamFormat::aacMono(48000)), 0);
    EXPECT_EQ(writer.writeFrames(3000, samples.data(), 6000), AacFileWriter::noClientFormat);
    EXPECT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)),
              AacFileWriter::unsupportedClientFormat);
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(48000)), 0);
    ASSERT_EQ(writer.writeFrames(1000, samples.data(), 2000), 0);
    ASSERT_EQ(writer.dispose(), 0);

    const DecodedAudio a = decode(fileIn(dir, "a.m4a"));
    const DecodedAudio b = decode(fileIn(dir, "b.m4a"));
    EXPECT_EQ(a.samples.size(), 3000u);
    EXPECT_EQ(b.sampleRate, 48000);
    EXPECT_EQ(b.durationSamples, 1000);
    EXPECT_EQ(b.samples.size(), 1000u);
}

// ---- Refusals.

TEST(AacFileWriter, RefusesFileFormatsOtherThanMonoAacAndLeavesTheFileAlone) {
    TemporaryFolder dir;
    const std::string existing = fileIn(dir, "existing.m4a");
    {
        std::ofstream out(existing);
        out << "keep me";
    }
    std::vector<AudioStreamFormat> bad = {
        AudioStreamFormat::pcm16Mono(rate),
        AudioStreamFormat::aacMono(0),
        AudioStreamFormat::aacMono(-44100),
        AudioStreamFormat::aacMono(44100.5),
        AudioStreamFormat::aacMono(std::numeric_limits<double>::quiet_NaN()),
        AudioStreamFormat::aacMono(std::numeric_limits<double>::infinity()),
        AudioStreamFormat::aacMono(1e12)};
    AudioStreamFormat stereo = AudioStreamFormat::aacMono(rate);
    stereo.channelsPerFrame = 2;
    bad.push_back(stereo);
    AudioStreamFormat otherPacketSize = AudioStreamFormat::aacMono(rate);
    otherPacketSize.framesPerPacket = 960;
    bad.push_back(otherPacketSize);

    for (const AudioStreamFormat& format : bad) {
        AacFileWriter writer;
        EXPECT_EQ(writer.create(existing, format), AacFileWriter::unsupportedFileFormat) << format.sampleRate;
        EXPECT_EQ(writer.create(fileIn(dir, "new.m4a"), format), AacFileWriter::unsupportedFileFormat);
        EXPECT_EQ(writer.dispose(), AacFileWriter::notOpen);
    }
    // A rate the encoder has no tables for is refused by FFmpeg, before the file is touched.
    AacFileWriter writer;
    const int32_t status = writer.create(existing, AudioStreamFormat::aacMono(12345));
    EXPECT_LT(status, 0);
    EXPECT_EQ(writer.create(fileIn(dir, "new.m4a"), AudioStreamFormat::aacMono(12345)), status);

    EXPECT_EQ(readBytes(existing), "keep me");
    EXPECT_FALSE(fs::exists(fileIn(dir, "new.m4a")));
}

TEST(AacFileWriter, UnwritablePathsFailAndLeaveNothing) {
    TemporaryFolder dir;
    { std::ofstream plain(fileIn(dir, "plain")); }
    fs::create_directory(dir.path() / "folder");
    const std::vector<std::pair<std::string, int32_t>> paths = {
        {fileIn(dir, "missing/clip.m4a"), AVERROR(ENOENT)}, // no such folder
        {fileIn(dir, "plain/clip.m4a"), AVERROR(ENOTDIR)},  // a file where a folder should be
        {fileIn(dir, "folder"), AVERROR(EISDIR)},           // a folder where the file should be
        {"", AVERROR(ENOENT)},
    };
    for (const auto& [path, expected] : paths) {
        AacFileWriter writer;
        EXPECT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), expected) << path;
        EXPECT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), AacFileWriter::notOpen);
        int16_t sample = 0;
        EXPECT_EQ(writer.writeFrames(1, &sample, 2), AacFileWriter::notOpen);
        EXPECT_EQ(writer.dispose(), AacFileWriter::notOpen);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"folder", "plain"}));
    EXPECT_EQ(fs::file_size(fileIn(dir, "plain")), 0u);
}

TEST(AacFileWriter, ClientFormatMustBe16BitMonoPcmAtTheFileRate) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    AacFileWriter writer;
    int16_t samples[4] = {1, 2, 3, 4};
    EXPECT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), AacFileWriter::notOpen);
    ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
    EXPECT_EQ(writer.writeFrames(4, samples, 8), AacFileWriter::noClientFormat);

    std::vector<AudioStreamFormat> bad = {AudioStreamFormat::pcm16Mono(48000),
                                          AudioStreamFormat::aacMono(rate)};
    AudioStreamFormat stereo = AudioStreamFormat::pcm16Mono(rate);
    stereo.channelsPerFrame = 2;
    stereo.bytesPerFrame = stereo.bytesPerPacket = 4;
    bad.push_back(stereo);
    AudioStreamFormat bigEndian = AudioStreamFormat::pcm16Mono(rate);
    bigEndian.formatFlags |= 2;
    bad.push_back(bigEndian);
    AudioStreamFormat floats = AudioStreamFormat::pcm16Mono(rate);
    floats.formatFlags = 1 | AudioStreamFormat::flagIsPacked;
    floats.bitsPerChannel = 32;
    floats.bytesPerFrame = floats.bytesPerPacket = 4;
    bad.push_back(floats);
    for (const AudioStreamFormat& format : bad) {
        EXPECT_EQ(writer.setClientFormat(format), AacFileWriter::unsupportedClientFormat);
    }
    EXPECT_EQ(writer.writeFrames(4, samples, 8), AacFileWriter::noClientFormat);

    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    EXPECT_EQ(writer.writeFrames(4, samples, 8), 0);
    ASSERT_EQ(writer.dispose(), 0);
    EXPECT_EQ(decode(path).samples.size(), 4u);
}

TEST(AacFileWriter, RefusesABufferThatDoesNotHoldTheFrames) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    AacFileWriter writer;
    ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    int16_t samples[4] = {1, 2, 3, 4};
    EXPECT_EQ(writer.writeFrames(4, nullptr, 8), AacFileWriter::invalidBuffer);
    EXPECT_EQ(writer.writeFrames(4, samples, 7), AacFileWriter::invalidBuffer);
    // Twice this frame count does not fit in 32 bits: no wrap-around may make it look small.
    EXPECT_EQ(writer.writeFrames(0x80000001u, samples, 2), AacFileWriter::invalidBuffer);
    // A refused buffer writes nothing and leaves the file usable.
    EXPECT_EQ(writer.writeFrames(4, samples, 8), 0);
    ASSERT_EQ(writer.dispose(), 0);
    EXPECT_EQ(decode(path).samples.size(), 4u);
}

TEST(AacFileWriter, AFullDiskAtCreateIsReported) {
    // /dev/full opens and fails every write with ENOSPC; the header is written out by create.
    if (!fs::is_character_file("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    AacFileWriter writer;
    EXPECT_EQ(writer.create("/dev/full", AudioStreamFormat::aacMono(rate)), AVERROR(ENOSPC));
    EXPECT_EQ(writer.dispose(), AacFileWriter::notOpen);
    EXPECT_TRUE(fs::is_character_file("/dev/full")); // an existing path is never removed
}

TEST(AacFileWriter, AFailedWriteIsReportedAndSticks) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    const std::vector<int16_t> samples = makeToneAndNoise(10 * rate);
    AacFileWriter writer;
    int32_t status = 0;
    {
        FileSizeLimit limit(200'000); // about 23 s of this audio
        ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
        ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
        for (int i = 0; i < 10 && status == 0; ++i) {
            status = writer.writeFrames(static_cast<uint32_t>(samples.size()), samples.data(),
                                        static_cast<uint32_t>(samples.size() * 2));
        }
        EXPECT_EQ(status, AVERROR(EFBIG)) << "100 s of audio went into a 200 kB file without an error";
    }
    // The file is broken from there on: later writes and dispose answer the same failure.
    EXPECT_EQ(writer.writeFrames(1, samples.data(), 2), status);
    EXPECT_EQ(writer.dispose(), status);
    EXPECT_EQ(writer.dispose(), AacFileWriter::notOpen);
}

TEST(AacFileWriter, AFailureWhileFinishingIsReportedByDispose) {
    TemporaryFolder dir;
    const std::string path = fileIn(dir, "clip.m4a");
    const std::vector<int16_t> samples = makeToneAndNoise(20 * rate);
    AacFileWriter writer;
    ASSERT_EQ(writer.create(path, AudioStreamFormat::aacMono(rate)), 0);
    ASSERT_EQ(writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate)), 0);
    ASSERT_EQ(writer.writeFrames(static_cast<uint32_t>(samples.size()), samples.data(),
                                 static_cast<uint32_t>(samples.size() * 2)),
              0);
    // What has reached the disk so far fits; the buffered rest and the index that dispose appends do not.
    FileSizeLimit limit(fs::file_size(path) + 100);
    EXPECT_EQ(writer.dispose(), AVERROR(EFBIG));
}

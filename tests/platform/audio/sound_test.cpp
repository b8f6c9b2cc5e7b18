#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/audio/AudioOutput.h"
#include "platform/audio/SoundFile.h"
#include "platform/audio/SystemSound.h"
#include "tests/support/ShellTools.h"
#include "platform/foundation/Log.h"

using namespace platform::audio;
namespace fs = std::filesystem;

namespace {

void be(std::string& s, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s += char(v >> (8 * i));
}
void le(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += char(v >> (8 * i));
}

// A CAF file of linear PCM as the platform's tools write it.
std::string caf(double rate, unsigned channels, unsigned bits, uint32_t flags, const std::string& data,
                int64_t dataSize = -2) {
    std::string s = "caff";
    be(s, 1, 2);
    be(s, 0, 2);
    s += "desc";
    be(s, 32, 8);
    uint64_t rb;
    std::memcpy(&rb, &rate, 8);
    be(s, rb, 8);
    s += "lpcm";
    be(s, flags, 4);
    be(s, bits / 8 * channels, 4);
    be(s, 1, 4);
    be(s, channels, 4);
    be(s, bits, 4);
    s += "free";
    be(s, 3, 8);
    s += "xyz";
    s += "data";
    be(s, uint64_t(dataSize == -2 ? int64_t(data.size() + 4) : dataSize), 8);
    be(s, 0, 4);  // edit count
    return s + data;
}

class RecordingOutput : public AudioOutput {
public:
    struct Played {
        std::string name;
        PCMBuffer pcm;
    };
    explicit RecordingOutput(std::vector<Played>* log) : log_(log) {}
    void play(const std::string& name, const PCMBuffer& sound) override { log_->push_back({name, sound}); }
    std::string description() const override { return "recorder"; }

private:
    std::vector<Played>* log_;
};

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/qm-audio-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path / name, std::ios::binary) << bytes;
        return (path / name).string();
    }
};

}  // namespace

TEST(SoundFile, ReadsBigAndLittleEndianCAF) {
    std::string bigData, littleData;
    be(bigData, uint16_t(16384), 2);
    be(bigData, uint16_t(-16384), 2);
    le(littleData, uint16_t(16384), 2);
    le(littleData, uint16_t(-32768), 2);
    auto big = decodeSoundFile(caf(22050, 1, 16, 0, bigData));
    ASSERT_TRUE(big.ok()) << big.message;
    EXPECT_EQ(big.buffer.sampleRate, 22050);
    ASSERT_EQ(big.buffer.frames(), 2u);
    EXPECT_FLOAT_EQ(big.buffer.samples[0], 0.5f);
    EXPECT_FLOAT_EQ(big.buffer.samples[1], -0.5f);
    auto little = decodeSoundFile(caf(44100, 2, 16, 2, littleData));
    ASSERT_TRUE(little.ok()) << little.message;
    EXPECT_EQ(little.buffer.channels, 2u);
    EXPECT_EQ(little.buffer.frames(), 1u);
    EXPECT_FLOAT_EQ(little.buffer.samples[1], -1.0f);
}

TEST(SoundFile, ReadsFloatAnd24BitCAFAndOpenEndedData) {
    std::string f;
    float half = 0.25f;
    uint32_t u;
    std::memcpy(&u, &half, 4);
    be(f, u, 4);
    auto flt = decodeSoundFile(caf(8000, 1, 32, 1, f));
    ASSERT_TRUE(flt.ok()) << flt.message;
    EXPECT_FLOAT_EQ(flt.buffer.samples[0], 0.25f);
    std::string s24;
    be(s24, 0xC00000, 3);  // -0.5 in 24 bits
    be(s24, 0x400000, 3);
    auto deep = decodeSoundFile(caf(8000, 1, 24, 0, s24, -1));  // size -1: up to the end of the file
    ASSERT_TRUE(deep.ok()) << deep.message;
    ASSERT_EQ(deep.buffer.frames(), 2u);
    EXPECT_FLOAT_EQ(deep.buffer.samples[0], -0.5f);
    EXPECT_FLOAT_EQ(deep.buffer.samples[1], 0.5f);
}

TEST(SoundFile, RejectsWhatItCannotPlay) {
    EXPECT_EQ(decodeSoundFile("just some text, not a sound").error, SoundFileError::UnsupportedFileType);
    EXPECT_EQ(decodeSoundFile("").error, SoundFileError::UnsupportedFileType);
    std::string compressed = caf(44100, 1, 16, 0, "abcd");
    compressed.replace(compressed.find("lpcm"), 4, "aac ");
    EXPECT_EQ(decodeSoundFile(compressed).error, SoundFileError::UnsupportedDataFormat);
    EXPECT_EQ(decodeSoundFile(caf(44100, 0, 16, 0, "")).error, SoundFileError::UnsupportedDataFormat);
    EXPECT_EQ(decodeSoundFile(caf(44100, 1, 12, 0, "ab")).error, SoundFileError::UnsupportedDataFormat);
    // Every truncation of a good file is either refused or read within its bytes.
    std::string good = caf(44100, 2, 16, 0, std::string(40, '\x10'));
    for (size_t n = 0; n < good.size(); ++n) {
        auto r = decodeSoundFile(std::string_view(good).substr(0, n));
        if (r.ok()) {
            EXPECT_LE(r.buffer.samples.size() * 2, n);
        }
    }
    // A data chunk that claims more than the file holds plays what is there.
    auto over = decodeSoundFile(caf(44100, 1, 16, 0, "abcdef", 1 << 30));
    ASSERT_TRUE(over.ok());
    EXPECT_EQ(over.buffer.frames(), 3u);
}

TEST(SoundFile, ReadsWaveWrittenByPython) {
    TempDir dir;
    const std::string path = (dir.path / "beep.wav").string();
    ASSERT_TRUE(qmtest::run({"python3", "-c",
                             "import wave,struct,sys; w=wave.open(sys.argv[1],'wb'); w.setnchannels(2); "
                             "w.setsampwidth(2); w.setframerate(16000); "
                             "w.writeframes(struct.pack('<4h', 8192, -8192, 32767, 0)); w.close()",
                             path})
                    .ok());
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto r = decodeSoundFile(bytes);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.buffer.sampleRate, 16000);
    ASSERT_EQ(r.buffer.frames(), 2u);
    EXPECT_FLOAT_EQ(r.buffer.samples[0], 0.25f);
    EXPECT_FLOAT_EQ(r.buffer.samples[1], -0.25f);
    EXPECT_NEAR(r.buffer.samples[2], 1.0f, 1e-4);
}

TEST(SoundFile, ReadsEightBitAndExtensibleWave) {
    auto wave = [](uint16_t tag, unsigned bits, const std::string& data, bool extensible) {
        std::string fmt;
        le(fmt, extensible ? 0xFFFE : tag, 2);
        le(fmt, 1, 2);
        le(fmt, 8000, 4);
        le(fmt, 8000 * bits / 8, 4);
        le(fmt, bits / 8, 2);
        le(fmt, bits, 2);
        if (extensible) {
            le(fmt, 22, 2);
            le(fmt, bits, 2);
            le(fmt, 4, 4);
            le(fmt, tag, 2);
            fmt += std::string(14, '\0');
        }
        std::string body = "WAVE";
        body += "LIST";
        le(body, 3, 4);
        body += "abc";
        body += '\0';  // pad byte of the odd-sized chunk
        body += "fmt ";
        le(body, fmt.size(), 4);
        body += fmt + "data";
        le(body, data.size(), 4);
        body += data;
        std::string s = "RIFF";
        le(s, body.size(), 4);
        return s + body;
    };
    auto u8 = decodeSoundFile(wave(1, 8, std::string("\x80\x00\xC0", 3), false));
    ASSERT_TRUE(u8.ok()) << u8.message;
    EXPECT_FLOAT_EQ(u8.buffer.samples[0], 0.0f);
    EXPECT_FLOAT_EQ(u8.buffer.samples[1], -1.0f);
    EXPECT_FLOAT_EQ(u8.buffer.samples[2], 0.5f);
    float v = -0.75f;
    std::string fdata(4, '\0');
    std::memcpy(fdata.data(), &v, 4);
    auto ext = decodeSoundFile(wave(3, 32, fdata, true));
    ASSERT_TRUE(ext.ok()) << ext.message;
    EXPECT_FLOAT_EQ(ext.buffer.samples[0], -0.75f);
    EXPECT_EQ(decodeSoundFile(wave(2, 4, "ab", false)).error, SoundFileError::UnsupportedDataFormat);  // ADPCM
}

TEST(SystemSound, CreatePlayDispose) {
    TempDir dir;
    std::vector<RecordingOutput::Played> played;
    AudioOutput::setCurrent(std::make_unique<RecordingOutput>(&played));
    std::string data;
    be(data, 1000, 2);
    const std::string path = dir.write("a b.caf", caf(44100, 1, 16, 0, data));

    const size_t before = SystemSound::count();
    SystemSoundID id = 0;
    ASSERT_EQ(SystemSound::create("file://" + (dir.path / "a%20b.caf").string(), &id), kNoErr);
    EXPECT_NE(id, 0u);
    SystemSoundID second = 0;
    ASSERT_EQ(SystemSound::create(path, &second), kNoErr);
    EXPECT_NE(id, second);
    EXPECT_EQ(SystemSound::count(), before + 2);

    SystemSound::play(id);
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].name, "a b.caf");
    EXPECT_EQ(played[0].pcm.frames(), 1u);

    EXPECT_EQ(SystemSound::dispose(id), kNoErr);
    EXPECT_NE(SystemSound::dispose(id), kNoErr);
    SystemSound::play(id);  // a disposed sound is silently ignored
    EXPECT_EQ(played.size(), 1u);
    SystemSound::dispose(second);
    EXPECT_EQ(SystemSound::count(), before);
    AudioOutput::setCurrent(nullptr);
}

TEST(SystemSound, BadFilesGiveAStatusAndNoID) {
    TempDir dir;
    SystemSoundID id = 77;
    EXPECT_EQ(SystemSound::create((dir.path / "missing.caf").string(), &id), kFileNotFoundErr);
    EXPECT_EQ(SystemSound::create(dir.path.string(), &id), kFileNotFoundErr);  // a folder
    EXPECT_EQ(SystemSound::create(dir.write("text.caf", "hello, not a sound"), &id),
              kAudioFileUnsupportedFileTypeError);
    EXPECT_EQ(SystemSound::create("", &id), kParamErr);
    EXPECT_EQ(id, 77u);
}

TEST(SystemSound, SilentSinkLogsInsteadOfPlaying) {
    SilentAudioOutput sink;
    PCMBuffer pcm;
    pcm.sampleRate = 100;
    pcm.channels = 1;
    pcm.samples.assign(50, 0.f);
    std::vector<std::string> lines;
    platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
    sink.play("a.caf", pcm);
    platform::foundation::setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("a.caf"), std::string::npos);
    EXPECT_NE(lines[0].find("0.50 s"), std::string::npos);
}

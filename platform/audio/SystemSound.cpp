#include "platform/audio/SystemSound.h"

#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "platform/audio/AudioOutput.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace platform::audio {

namespace {

struct Registered {
    std::string name;
    std::shared_ptr<const PCMBuffer> pcm;
};

std::mutex gMutex;
std::map<SystemSoundID, Registered> gSounds;
SystemSoundID gNextID = 4096;  // low numbers are the platform's built-in sounds

std::string pathOf(const std::string& file) {
    static const std::string scheme = "file://";
    if (file.compare(0, scheme.size(), scheme) != 0) return file;
    std::string rest = file.substr(scheme.size());
    if (rest.compare(0, 9, "localhost") == 0) rest = rest.substr(9);
    // Undo percent-escapes the way a file URL carries them.
    std::string out;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
            isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
            out += char(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += rest[i];
        }
    }
    return out;
}

}  // namespace

OSStatus SystemSound::create(const std::string& file, SystemSoundID* outID) {
    if (!outID || file.empty()) return kParamErr;
    const std::string path = pathOf(file);
    bool isDir = false;
    if (!foundation::FileManager::exists(path, &isDir) || isDir) return kFileNotFoundErr;
    auto bytes = foundation::FileManager::readFile(path);
    if (!bytes) return kFileNotFoundErr;
    SoundFileResult decoded = decodeSoundFile(*bytes);
    if (!decoded.ok()) {
        foundation::log("Cannot load sound " + path + ": " + decoded.message);
        switch (decoded.error) {
        case SoundFileError::UnsupportedFileType: return kAudioFileUnsupportedFileTypeError;
        case SoundFileError::UnsupportedDataFormat: return kAudioFileUnsupportedDataFormatError;
        default: return kAudioFileInvalidFileError;
        }
    }
    std::lock_guard lock(gMutex);
    const SystemSoundID id = gNextID++;
    gSounds[id] = Registered{foundation::FileManager::lastPathComponent(path),
                             std::make_shared<const PCMBuffer>(std::move(decoded.buffer))};
    *outID = id;
    return kNoErr;
}

void SystemSound::play(SystemSoundID id) {
    Registered sound;
    {
        std::lock_guard lock(gMutex);
        auto it = gSounds.find(id);
        if (it == gSounds.end()) return;
        sound = it->second;
    }
    AudioOutput::current().play(sound.name, *sound.pcm);
}

OSStatus SystemSound::dispose(SystemSoundID id) {
    std::lock_guard lock(gMutex);
    return gSounds.erase(id) ? kNoErr : kAudioServicesSystemSoundUnspecifiedError;
}

size_t SystemSound::count() {
    std::lock_guard lock(gMutex);
    return gSounds.size();
}

}  // namespace platform::audio

#pragma once
// The platform's system-sound service: a short sound file registered under a
// numeric identifier, played asynchronously, disposed when no longer needed.
#include <cstdint>
#include <string>

namespace platform::audio {

using SystemSoundID = uint32_t;
using OSStatus = int32_t;

// Status codes as the platform's audio file service answers them.
inline constexpr OSStatus kNoErr = 0;
inline constexpr OSStatus kFileNotFoundErr = -43;
inline constexpr OSStatus kParamErr = -50;
inline constexpr OSStatus kAudioFileUnsupportedFileTypeError = 0x7479703f;    // 'typ?'
inline constexpr OSStatus kAudioFileUnsupportedDataFormatError = 0x666d743f;  // 'fmt?'
inline constexpr OSStatus kAudioFileInvalidFileError = 0x6474613f;            // 'dta?'
inline constexpr OSStatus kAudioServicesSystemSoundUnspecifiedError = -1500;

class SystemSound {
public:
    // `file` is a path or a "file://" URL. On success stores a new identifier
    // (never 0) in *outID and answers kNoErr; otherwise *outID is left alone.
    static OSStatus create(const std::string& file, SystemSoundID* outID);
    // Queues the sound on the audio output and returns; an unknown ID is ignored.
    static void play(SystemSoundID id);
    static OSStatus dispose(SystemSoundID id);
    // Registered sounds (tests).
    static size_t count();
};

}  // namespace platform::audio

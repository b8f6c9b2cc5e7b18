// The generated full-battery chime in the bundle is 16-bit linear PCM in a CAF
// file, read here by python3 straight from its header, not by our reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/ShellTools.h"

namespace {

TEST(ChimeFormat, IsSixteenBitLinearPCMInACAFFile) {
    const std::string path = std::string(QM_BUNDLE_DIR) + "/a.caf";
    const std::string script =
        "import struct,sys\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "assert d[:4]==b'caff', 'not CAF'\n"
        "p=8; desc=None; frames=None\n"
        "while p+12<=len(d):\n"
        "    t=d[p:p+4]; n=struct.unpack('>q',d[p+4:p+12])[0]; b=d[p+12:]\n"
        "    if t==b'desc': desc=struct.unpack('>d4sIIIII',b[:32])\n"
        "    if t==b'data':\n"
        "        size=len(b) if n<0 else n\n"
        "        frames=(size-4)//desc[3]\n"
        "        break\n"
        "    p+=12+n\n"
        "rate,fmt,flags,bpp,fpp,ch,bits=desc\n"
        "print(rate,fmt.decode(),flags&1,bpp,fpp,ch,bits,frames)\n";
    const std::string out = qmtest::run({"python3", "-c", script, path}, qmtest::RunOptions().mergingErrors()).out;
    double rate = 0;
    char fmt[8] = {};
    unsigned isFloat = 9, bytesPerPacket = 0, framesPerPacket = 0, channels = 0, bits = 0;
    long frames = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%lf %4s %u %u %u %u %u %ld", &rate, fmt, &isFloat, &bytesPerPacket,
                          &framesPerPacket, &channels, &bits, &frames),
              8)
        << out;
    EXPECT_EQ(std::string(fmt), "lpcm");
    EXPECT_EQ(isFloat, 0u);
    EXPECT_EQ(bits, 16u);
    EXPECT_EQ(bytesPerPacket, 2u * channels);
    EXPECT_EQ(framesPerPacket, 1u);
    EXPECT_GE(channels, 1u);
    EXPECT_GT(rate, 0);
    EXPECT_GT(frames, long(rate / 2));  // a chime, not a click
}

}  // namespace

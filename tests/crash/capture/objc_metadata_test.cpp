// The class-metadata reader on constructed 32- and 64-bit images: symbol
// lookup names "-[Class method]" and "+[Class method]", bad metadata is
// skipped rather than ending the walk, and the real process's images (which
// carry no class metadata) are read without error and yield nothing.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "ObjCImageBuilder.h"
#include "crash/capture/image/ImageList.h"
#include "crash/capture/image/ObjCMetadata.h"
#include "crash/capture/image/SymbolLookup.h"
#include "platform/system/Mach.h"

using namespace ovcrash;
using objctest::ObjCImageBuilder;

namespace {

struct Image {
    macho_image image{};
    objc_metadata_cache cache{};
    explicit Image(uint64_t address) {
        EXPECT_EQ(macho_image_init(&image, platform::system::mach_task_self(), "objc", address), ASYNC_ESUCCESS);
        objc_metadata_cache_init(&cache);
    }
    ~Image() {
        objc_metadata_cache_free(&cache);
        macho_image_free(&image);
    }
};

void nameOf(uint64_t, const char* name, void* context) { *static_cast<std::string*>(context) = name; }

// The lookup's name for pc with the class-metadata strategy, or "" when none.
std::string lookup(Image& img, uint64_t pc) {
    std::string name;
    if (async_symbol_lookup(&img.image, SYMBOL_STRATEGY_CLASS_METADATA, &img.cache, pc, nameOf, &name) !=
        ASYNC_ESUCCESS)
        return "";
    return name;
}

void collect(bool is_class, macho_string* cls, macho_string* method, uint64_t, void* context) {
    const char *c = "?", *m = "?";
    macho_string_pointer(cls, &c);
    macho_string_pointer(method, &m);
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(is_class ? "+" : "-") + c + " " + m);
}

std::vector<std::string> walk(Image& img, async_error* result = nullptr) {
    std::vector<std::string> seen;
    async_error err = objc_metadata_parse(&img.image, &img.cache, collect, &seen);
    if (result) *result = err;
    return seen;
}

class ObjCWidths : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(ObjCWidths, LookupNamesInstanceClassAndCategoryMethods) {
    ObjCImageBuilder b(GetParam());
    uint64_t widget = b.addClass("Widget", b.methodList({{"spin", b.imp(1)}, {"stop", b.imp(3)}}),
                                 b.methodList({{"make", b.imp(5)}}));
    b.addCategory("Extras", widget, b.methodList({{"polish", b.imp(7)}}), b.methodList({{"shared", b.imp(9)}}));
    Image img(b.build());

    EXPECT_EQ(lookup(img, b.imp(1) + 4), "-[Widget spin]");
    EXPECT_EQ(lookup(img, b.imp(3)), "-[Widget stop]");
    EXPECT_EQ(lookup(img, b.imp(5) + 8), "+[Widget make]");
    EXPECT_EQ(lookup(img, b.imp(7) + 2), "-[Widget polish]");
    EXPECT_EQ(lookup(img, b.imp(9) + 2), "+[Widget shared]");
    // Below every implementation there is nothing.
    EXPECT_EQ(lookup(img, b.imp(0)), "");
    // Without a cache the class metadata is not read.
    std::string name;
    EXPECT_EQ(async_symbol_lookup(&img.image, SYMBOL_STRATEGY_CLASS_METADATA, nullptr, b.imp(1), nameOf, &name),
              ASYNC_ENOTFOUND);
    EXPECT_EQ(objc_metadata_parse(&img.image, nullptr, collect, &name), ASYNC_EACCESS);
}

TEST_P(ObjCWidths, LongNamesAreCutTo255AndEqualImplementationsGiveTheFirst) {
    ObjCImageBuilder b(GetParam());
    std::string longName(300, 'm');
    b.addClass("Twin", b.methodList({{"first", b.imp(2)}, {"second", b.imp(2)}, {longName, b.imp(4)}}), 0);
    Image img(b.build());
    EXPECT_EQ(lookup(img, b.imp(2) + 1), "-[Twin first]");
    std::string cut = lookup(img, b.imp(4));
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_EQ(cut.substr(0, 7), "-[Twin ");
    EXPECT_NE(cut.back(), ']');
}

TEST_P(ObjCWidths, AnUnrealizedClassIsSkippedAndTheWalkStillSucceeds) {
    ObjCImageBuilder b(GetParam());
    b.addClass("Used", b.methodList({{"run", b.imp(1)}}), b.methodList({{"make", b.imp(2)}}));
    b.addClass("Unused", b.methodList({{"never", b.imp(3)}}), 0, false);  // the last class
    Image img(b.build());
    async_error result;
    EXPECT_EQ(walk(img, &result), (std::vector<std::string>{"-Used run", "+Used make"}));
    EXPECT_EQ(result, ASYNC_ESUCCESS);
    EXPECT_EQ(lookup(img, b.imp(1)), "-[Used run]");
    // A pc in the unrealized class's method falls to the nearest realized one.
    EXPECT_EQ(lookup(img, b.imp(3)), "+[Used make]");
}

INSTANTIATE_TEST_SUITE_P(Widths, ObjCWidths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "64" : "32"; });

TEST(ObjCMetadata, AnImageWithoutCategoriesStillNamesItsClasses) {
    ObjCImageBuilder b(true);
    b.withCatList = false;
    b.addClass("Plain", b.methodList({{"go", b.imp(1)}}), 0);
    Image img(b.build());
    EXPECT_EQ(lookup(img, b.imp(1)), "-[Plain go]");
}

TEST(ObjCMetadata, BadClassesAndCategoriesAreSkipped) {
    ObjCImageBuilder b(true);
    uint64_t good = b.addClass("Good", b.methodList({{"ok", b.imp(1)}}), 0);
    b.listClass(b.at(0x10));                        // outside __objc_data
    b.listCategory(b.at(ObjCImageBuilder::kData));  // outside __objc_const
    b.addCategory("Later", good, b.methodList({{"after", b.imp(2)}}), 0);
    b.addClass("Tail", b.methodList({{"last", b.imp(3)}}), 0);
    Image img(b.build());
    async_error result;
    std::vector<std::string> seen = walk(img, &result);
    EXPECT_EQ(result, ASYNC_ESUCCESS);
    EXPECT_EQ(seen, (std::vector<std::string>{"-Good ok", "-Tail last", "-Good after"}));
}

TEST(ObjCMetadata, MethodListEntrySizesAreChecked) {
    ObjCImageBuilder b(true);
    // Flag bits in the entry size are not part of the step.
    b.addClass("Flagged", b.methodList({{"a", b.imp(1)}, {"b", b.imp(2)}}, 24, 3), 0);
    // An entry smaller than three words is refused; the walk goes on.
    b.addClass("Narrow", b.methodList({{"x", b.imp(3)}, {"y", b.imp(4)}}, 8), 0);
    b.addClass("After", b.methodList({{"z", b.imp(5)}}), 0);
    Image img(b.build());
    EXPECT_EQ(walk(img), (std::vector<std::string>{"-Flagged a", "-Flagged b", "-After z"}));
}

TEST(ObjCMetadata, ReadOnlyDataIsTakenFromObjcConstWhereItLies) {
    ObjCImageBuilder b(true);
    uint64_t cls = b.addClass("Late", b.methodList({{"work", b.imp(1)}}), 0, false);
    Image img(b.build());
    EXPECT_TRUE(walk(img).empty());  // maps the sections while the class is unrealized
    // Realized afterwards, its read-only data now unreadable in the task but
    // still in the mapped __objc_const.
    b.put32(b.readWriteOf(cls), 0x80000000u);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(b.at(ObjCImageBuilder::kConst)),
                       ObjCImageBuilder::kConstEnd - ObjCImageBuilder::kConst, PROT_NONE),
              0);
    std::vector<std::string> seen = walk(img);
    mprotect(reinterpret_cast<void*>(b.at(ObjCImageBuilder::kConst)),
             ObjCImageBuilder::kConstEnd - ObjCImageBuilder::kConst, PROT_READ | PROT_WRITE);
    EXPECT_EQ(seen, (std::vector<std::string>{"-Late work"}));
}

TEST(ObjCMetadata, TaggedMetaclassPointersOf64BitArmAreMasked) {
    ObjCImageBuilder b(true, platform::system::CPU_TYPE_ARM64);
    uint64_t cls = b.addClass("Tagged", 0, b.methodList({{"make", b.imp(1)}}));
    b.putWord(cls, b.metaclassOf(cls) | 1 | (uint64_t{1} << 60));
    Image img(b.build());
    EXPECT_EQ(lookup(img, b.imp(1)), "+[Tagged make]");
}

TEST(ObjCMetadata, LegacyModulesNameTheirClassesMethods) {
    ObjCImageBuilder b(false);
    b.legacy = true;
    b.withClassList = b.withCatList = b.withConst = b.withData = false;
    b.addLegacyClass("Old", {{"run", b.imp(1)}}, {{"make", b.imp(2)}, {"copy", b.imp(3)}});
    Image img(b.build());
    EXPECT_EQ(walk(img), (std::vector<std::string>{"-Old run", "+Old make", "+Old copy"}));
    EXPECT_EQ(lookup(img, b.imp(3) + 6), "+[Old copy]");
}

TEST(ObjCMetadata, TheProcesssOwnImagesYieldNothing) {
    shared_image_list_start();
    image_list* images = shared_image_list();
    ASSERT_TRUE(images);
    objc_metadata_cache cache;
    objc_metadata_cache_init(&cache);
    int walked = 0;
    std::vector<std::string> seen;
    image_list_set_reading(images, true);
    for (macho_image* image = image_list_next(images, nullptr); image; image = image_list_next(images, image)) {
        EXPECT_EQ(objc_metadata_parse(image, &cache, collect, &seen), ASYNC_ENOTFOUND) << image->name;
        ++walked;
    }
    image_list_set_reading(images, false);
    objc_metadata_cache_free(&cache);
    EXPECT_GT(walked, 1);
    EXPECT_TRUE(seen.empty());
}

#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestUtil.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"

using namespace platform::foundation;
using foundation_test::TempDir;

namespace {

Value sample() {
    Value v = Value::emptyDictionary();
    v["bool"] = true;
    v["false"] = false;
    v["int"] = int64_t(42);
    v["negative"] = int64_t(-7);
    v["big"] = int64_t(1) << 40;
    v["min"] = std::numeric_limits<int64_t>::min();
    v["real"] = 0.1;
    v["string"] = "caf\u00e9 <&> \"quoted\" \xF0\x9F\x94\x8B";
    v["empty"] = "";
    v["data"] = Value::Data{0, 1, 2, 0xff};
    v["date"] = Value::date(1700000000);  // XML keeps whole seconds only
    Value nested = Value::emptyArray();
    nested.push(1);
    nested.push("two");
    nested.push(Value::emptyDictionary());
    v["array"] = nested;
    return v;
}

// Python's reading of sample(), for comparison inside the peer script.
const char* kPythonExpected = R"PY(
import datetime
expected = {
    "bool": True, "false": False, "int": 42, "negative": -7, "big": 1 << 40,
    "min": -(1 << 63), "real": 0.1,
    "string": "caf\u00e9 <&> \"quoted\" \U0001F50B", "empty": "",
    "data": bytes([0, 1, 2, 255]),
    "date": datetime.datetime(2023, 11, 14, 22, 13, 20),
    "array": [1, "two", {}],
}
)PY";

}  // namespace

namespace platform::foundation {
void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform::foundation

TEST(Value, NumberAndStringConversionsFollowThePlatform) {
    EXPECT_EQ(Value("12.5").intValue(), 12);
    EXPECT_DOUBLE_EQ(Value("12.5").doubleValue(), 12.5);
    EXPECT_FLOAT_EQ(Value(" -3.25xyz").floatValue(), -3.25f);
    EXPECT_EQ(Value("abc").intValue(), 0);
    EXPECT_TRUE(Value("YES").boolValue());
    EXPECT_TRUE(Value("true").boolValue());
    EXPECT_TRUE(Value("  007").boolValue());
    EXPECT_FALSE(Value("no").boolValue());
    EXPECT_FALSE(Value("0.9").boolValue());
    EXPECT_FALSE(Value().boolValue());
    EXPECT_EQ(Value(3.99).intValue(), 3);
    EXPECT_EQ(Value(-3.99).intValue(), -3);
    EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(Value(true).intValue(), 1);
    EXPECT_EQ(Value(int64_t(5)).stringValue(), "5");
    EXPECT_EQ(Value(0.1).stringValue(), "0.1");
    EXPECT_EQ(Value(2.0).stringValue(), "2");
    EXPECT_EQ(Value(true).stringValue(), "1");
    EXPECT_EQ(Value::date(5).stringValue(), "");
    EXPECT_DOUBLE_EQ(Value::date(5).dateValue(), 5);
}

TEST(Value, EqualityComparesNumbersByValue) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(true), Value(1));
    EXPECT_NE(Value(1), Value(1.5));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(), Value(0));
    // Large integers are not collapsed through double.
    EXPECT_NE(Value(int64_t(9007199254740993)), Value(int64_t(9007199254740992)));
    EXPECT_EQ(sample(), sample());
    Value changed = sample();
    changed["array"].array()[1] = "three";
    EXPECT_NE(changed, sample());
}

TEST(Value, ContainerAccess) {
    Value v;
    EXPECT_TRUE(v["missing"].isNull());  // const-free lookup on null turns it into a dictionary
    const Value c = sample();
    EXPECT_TRUE(c["nope"].isNull());
    EXPECT_TRUE(c["int"]["x"].isNull());
    EXPECT_EQ(c["array"].at(1).string(), "two");
    EXPECT_TRUE(c["array"].at(9).isNull());
    EXPECT_EQ(c["array"].size(), 3u);
    EXPECT_THROW(c["int"].string(), std::logic_error);
    EXPECT_THROW(c["int"].array(), std::logic_error);
    Value d = sample();
    EXPECT_TRUE(d.erase("int"));
    EXPECT_FALSE(d.contains("int"));
    EXPECT_FALSE(d.erase("int"));
}

TEST(Value, JsonKeepsIntegersRealsAndBooleansApart) {
    Error error;
    auto v = Value::fromJSON(R"({"i": 3, "r": 3.0, "e": 1e3, "b": true, "n": null, "u": 18446744073709551615,
                                "s": "\u00e9\n", "a": [1, [2]]})",
                             &error);
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["i"].type(), Value::Type::Integer);
    EXPECT_EQ((*v)["r"].type(), Value::Type::Real);
    EXPECT_EQ((*v)["e"].type(), Value::Type::Real);
    EXPECT_EQ((*v)["b"].type(), Value::Type::Bool);
    EXPECT_TRUE((*v)["n"].isNull());
    EXPECT_TRUE(v->contains("n"));
    EXPECT_EQ((*v)["u"].type(), Value::Type::Real);
    EXPECT_EQ((*v)["s"].string(), "\u00e9\n");
    EXPECT_EQ((*v)["a"].at(1).at(0).intValue(), 2);

    auto back = Value::fromJSON(v->toJSON());
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["b"].type(), Value::Type::Bool);
    EXPECT_EQ((*back)["i"].type(), Value::Type::Integer);
    EXPECT_EQ(Value(Value::Dictionary{{"k", Value(int64_t(1))}}).toJSON(), R"({"k":1})");

    EXPECT_FALSE(Value::fromJSON("{\"a\": }", &error));
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(Value::fromJSON(""));
    try {
        Value(Value::Data{1}).toJSON();
        FAIL() << "data has no JSON form";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), kInvalidArgumentException);
    }
    EXPECT_THROW(Value(std::nan("")).toJSON(), Exception);
}

TEST(Value, PythonReadsOurBinaryAndXmlPropertyLists) {
    TempDir dir;
    Error error;
    ASSERT_TRUE(sample().writeBinaryPropertyListFile(dir.file("a.plist"), &error)) << error.description();
    ASSERT_TRUE(sample().writeXMLPropertyListFile(dir.file("b.plist"), &error)) << error.description();
    auto bin = FileManager::readFile(dir.file("a.plist"));
    ASSERT_TRUE(bin);
    EXPECT_EQ(bin->substr(0, 8), "bplist00");
    EXPECT_EQ(FileManager::readFile(dir.file("b.plist"))->substr(0, 5), "<?xml");

    std::string script = std::string(kPythonExpected) + R"PY(
import plistlib, sys
ok = True
for path, fmt in ((sys.argv[1], plistlib.FMT_BINARY), (sys.argv[2], plistlib.FMT_XML)):
    with open(path, "rb") as f:
        data = f.read()
    got = plistlib.loads(data, fmt=fmt)
    for k, v in expected.items():
        if got.get(k) != v or type(got.get(k)) != type(v):
            print(path, k, repr(got.get(k)), "!=", repr(v)); ok = False
    if set(got) != set(expected):
        print(path, "keys", sorted(got)); ok = False
sys.exit(0 if ok else 1)
)PY";
    auto r = foundation_test::runPython(dir, script, {dir.file("a.plist"), dir.file("b.plist")});
    EXPECT_EQ(r.status, 0) << r.output;

    // Binary dates keep fractions of a second.
    Value frac = Value::emptyDictionary();
    frac["d"] = Value::date(1700000000.25);
    ASSERT_TRUE(frac.writeBinaryPropertyListFile(dir.file("c.plist")));
    r = foundation_test::runPython(dir, R"PY(
import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))["d"]
sys.exit(0 if d.microsecond == 250000 and d.second == 20 else print(d) or 1)
)PY",
                                   {dir.file("c.plist")});
    EXPECT_EQ(r.status, 0) << r.output;
    auto back = Value::readPropertyListFile(dir.file("c.plist"));
    ASSERT_TRUE(back);
    EXPECT_DOUBLE_EQ((*back)["d"].dateValue(), 1700000000.25);
}

// A hit's parameters are written without libplist's tree: plain ASCII keys and
// strings, non-negative numbers, nested containers, long ones, large offsets.
TEST(Value, PlainValuesWriteABinaryListThatPythonAndWeRead) {
    TempDir dir;
    Value v = Value::emptyDictionary();
    for (int i = 0; i < 20; ++i) v["&k" + std::to_string(i)] = "value number " + std::to_string(i * 1000);
    v["&n"] = int64_t(70000);
    v["&big"] = int64_t(1) << 40;
    v["&null"] = Value();  // left out, as every property list writer here does
    v["&date"] = Value::date(1700000000.25);
    v["&blob"] = Value::Data(70000, 7);  // offsets beyond 16 bits
    Value list = Value::emptyArray();
    for (int i = 0; i < 300; ++i) list.push(i % 2 ? Value(int64_t(i)) : Value(0.5 + i));  // references beyond 8 bits
    v["&list"] = list;
    ASSERT_TRUE(v.writeBinaryPropertyListFile(dir.file("hit.plist")));

    Value expected = v;
    expected.erase("&null");
    auto back = Value::readPropertyListFile(dir.file("hit.plist"));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, expected);
    auto r = foundation_test::runPython(dir, R"PY(
import plistlib, sys, datetime
p = plistlib.load(open(sys.argv[1], "rb"))
ok = (len(p) == 25 and "&null" not in p and p["&k19"] == "value number 19000" and p["&n"] == 70000
      and p["&big"] == 1 << 40 and p["&blob"] == bytes([7]) * 70000 and len(p["&list"]) == 300
      and p["&list"][299] == 299 and p["&list"][298] == 298.5
      and p["&date"] == datetime.datetime(2023, 11, 14, 22, 13, 20, 250000))
sys.exit(0 if ok else print(p) or 1)
)PY",
                                     {dir.file("hit.plist")});
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(Value, WeReadPythonsBinaryAndXmlPropertyLists) {
    TempDir dir;
    std::string script = std::string(kPythonExpected) + R"PY(
import plistlib, sys
with open(sys.argv[1], "wb") as f: plistlib.dump(expected, f, fmt=plistlib.FMT_BINARY)
with open(sys.argv[2], "wb") as f: plistlib.dump(expected, f, fmt=plistlib.FMT_XML)
)PY";
    auto r = foundation_test::runPython(dir, script, {dir.file("a.plist"), dir.file("b.plist")});
    ASSERT_EQ(r.status, 0) << r.output;
    for (auto name : {"a.plist", "b.plist"}) {
        Error error;
        auto v = Value::readPropertyListFile(dir.file(name), &error);
        ASSERT_TRUE(v) << name << ": " << error.description();
        EXPECT_EQ(*v, sample()) << name << ":\n" << v->description();
        EXPECT_EQ((*v)["int"].type(), Value::Type::Integer);
        EXPECT_EQ((*v)["real"].type(), Value::Type::Real);
        EXPECT_EQ((*v)["bool"].type(), Value::Type::Bool);
    }
}

TEST(Value, BadPropertyListsAreErrorsNotCrashes) {
    Error error;
    EXPECT_FALSE(Value::fromPropertyList(nullptr, 0, &error));
    std::string junk = "not a plist at all";
    EXPECT_FALSE(Value::fromPropertyList(junk.data(), junk.size(), &error));
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
    auto good = sample().toBinaryPropertyList();
    for (size_t cut : {size_t(8), good.size() / 2, good.size() - 1}) {
        Value::Data truncated(good.begin(), good.begin() + long(cut));
        EXPECT_FALSE(Value::fromPropertyList(truncated)) << cut;
    }
    std::string xml = sample().toXMLPropertyList();
    xml.resize(xml.size() / 2);
    EXPECT_FALSE(Value::fromPropertyList(xml.data(), xml.size()));
    TempDir dir;
    EXPECT_FALSE(Value::readPropertyListFile(dir.file("absent.plist"), &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
}

TEST(Value, DescriptionInThePlatformStyle) {
    Value v = Value::emptyDictionary();
    v["a"] = 1;
    v["b c"] = "x y";
    v["list"] = Value(Value::Array{Value("p"), Value(2.5)});
    EXPECT_EQ(v.description(),
              "{\n    a = 1;\n    \"b c\" = \"x y\";\n    list = (\n        p,\n        2.5\n    );\n}");
    EXPECT_EQ(Value("plain text").description(), "plain text");
    EXPECT_EQ(Value(Value::Data{1, 2, 3, 4, 5}).description(), "<01020304 05>");
    EXPECT_EQ(Value::date(0).description(), "1970-01-01 00:00:00 +0000");
}

TEST(Value, AKeyWithANulCharacterIsRefusedNotFatal) {
    // A dictionary {"a\0b": 1} in the binary form, built by hand.
    const Value::Data bytes = {'b',  'p',  'l',  'i', 's', 't', '0', '0',
                               0xD1, 0x01, 0x02,                           // dictionary: key 1, value 2
                               0x53, 'a',  0x00, 'b',                      // ASCII string of 3
                               0x10, 0x01,                                 // integer 1
                               0x08, 0x0B, 0x0F,                           // offsets
                               0,    0,    0,    0,   0,   0,   1,   1,    // trailer: sizes
                               0,    0,    0,    0,   0,   0,   0,   3,    // objects
                               0,    0,    0,    0,   0,   0,   0,   0,    // top object
                               0,    0,    0,    0,   0,   0,   0,   17};  // offset table
    Error error;
    EXPECT_FALSE(Value::fromPropertyList(bytes, &error));
    EXPECT_FALSE(error.localizedDescription().empty());
}

TEST(Value, NestingIsReadUpToALimitAndRefusedBeyond) {
    auto nested = [](int depth) { return std::string(size_t(depth), '[') + "1" + std::string(size_t(depth), ']'); };
    auto shallow = Value::fromJSON(nested(400));
    ASSERT_TRUE(shallow);
    EXPECT_TRUE(shallow->isArray());
    Error error;
    EXPECT_FALSE(Value::fromJSON(nested(100000), &error));
    EXPECT_FALSE(error.localizedDescription().empty());

    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) xml += "<array>";
    xml += "<true/>";
    for (int i = 0; i < 100000; ++i) xml += "</array>";
    xml += "</plist>";
    EXPECT_FALSE(Value::fromPropertyList(xml.data(), xml.size()));
}

TEST(Value, MalformedUTF8IsWrittenAsReplacementCharactersAndReadsBack) {
    Value v = Value::emptyDictionary();
    v["bad\xff key"] = Value(std::string("ok \xc3 end"));
    v["good"] = "caf\xc3\xa9";
    for (const Value::Data& bytes : {v.toBinaryPropertyList(), [&] {
                                         std::string x = v.toXMLPropertyList();
                                         return Value::Data(x.begin(), x.end());
                                     }()}) {
        auto back = Value::fromPropertyList(bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ((*back)["good"], Value("caf\xc3\xa9"));
        EXPECT_EQ((*back)["bad\xef\xbf\xbd key"], Value("ok \xef\xbf\xbd end"));
    }
}

TEST(Value, DatesFarFromTodayStillWriteAndRead) {
    for (double date : {-5e9, 0.0, 1.7e9, 3.2e9, 2.2e11}) {
        Value v = Value::emptyDictionary();
        v["d"] = Value::date(date);
        auto back = Value::fromPropertyList(v.toBinaryPropertyList());
        ASSERT_TRUE(back) << date;
        EXPECT_TRUE((*back)["d"].isDate()) << date;
        if (date > -2e9 && date < 3e9) {
            EXPECT_DOUBLE_EQ((*back)["d"].dateValue(), date);
        }
    }
}

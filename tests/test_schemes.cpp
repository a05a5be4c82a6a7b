// Scheme files: the exact writer, the tolerant reader, the classes and properties, the picture block, the
// load that fails with its message, the scheme path and the scheme list.
#include "dbf/codec.h"
#include "schemes/scheme.h"
#include "tmpdir.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace schemes;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

PropValue str(const std::string& s) {
    return PropValue::makeString(s);
}
PropValue num(int64_t v) {
    return PropValue::makeInt(v);
}
PropValue id(const std::string& s) {
    return PropValue::makeIdent(s);
}

std::vector<uint8_t> bytesOf(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 1);
    return b;
}

// A scheme with every kind of value the writer produces.
Scheme fixtureScheme() {
    Scheme s;
    Element img(ElementClass::Image, "MImage1");
    img.setBounds(10, 20, 63, 12);
    img.set("Constraints.MaxWidth", num(126));
    img.set("Constraints.MinHeight", num(6));
    img.setPicture({PictureKind::Bitmap, bytesOf(100)});
    img.set("Stretch", id("True"));
    img.set("Transparent", id("True"));
    s.elements().push_back(img);

    Element t(ElementClass::Label, "Text1");
    t.setBounds(100, 200, 120, 24);
    t.set("Caption", str("Т1 = 70'C\r\n"));
    Font f;
    f.charset = RUSSIAN_CHARSET;
    f.color = clBlue;
    f.height = -16;
    f.name = "Arial";
    f.style = fsBold | fsItalic;
    t.setFont(f);
    t.set("Color", num(0x00123456));
    t.set("ParentColor", id("False"));
    t.set("Transparent", id("False"));
    s.elements().push_back(t);

    Element d(ElementClass::DBText, "DBText1");
    d.setBounds(300, 40, 90, 20);
    d.set("Alignment", id("taRightJustify"));
    d.set("DataField", str("TemperF1"));
    d.set("DataSource", id(kStateSourceName));
    d.set("Transparent", id("True"));
    s.elements().push_back(d);

    Element longText(ElementClass::Label, "Text2");
    longText.setBounds(5, 5, 400, 60);
    longText.set("AutoSize", id("False"));
    longText.set("Caption",
                 str("Схема независимая отопления с 1 сч. подача 1 контура, 1 сч. подача 2 контура, "
                     "счетчик подпитки 'ГВС'"));
    s.elements().push_back(longText);
    return s;
}

} // namespace

// ---------------------------------------------------------------- the writer

TEST(SchemeWriter, RootBlockAndFileEndAreExact) {
    Scheme s;
    const std::string expected = "object Dr: TPanel\r\n"
                                 "  Left = 0\r\n"
                                 "  Top = 92\r\n"
                                 "  Width = 1005\r\n"
                                 "  Height = 585\r\n"
                                 "  BevelInner = bvLowered\r\n"
                                 "  Constraints.MaxHeight = 585\r\n"
                                 "  Constraints.MaxWidth = 1005\r\n"
                                 "  Constraints.MinHeight = 585\r\n"
                                 "  Constraints.MinWidth = 1005\r\n"
                                 "  Font.Charset = DEFAULT_CHARSET\r\n"
                                 "  Font.Color = clWindowText\r\n"
                                 "  Font.Height = -24\r\n"
                                 "  Font.Name = 'MS Sans Serif'\r\n"
                                 "  Font.Style = []\r\n"
                                 "  ParentFont = False\r\n"
                                 "  TabOrder = 1\r\n"
                                 "end\r\n"
                                 "\r\n";
    EXPECT_EQ(schemeText(s), expected);
}

TEST(SchemeWriter, ElementsInClassOrderWithoutDefaults) {
    const std::string text = schemeText(fixtureScheme());
    const std::string label = "  object Text1: TLabel\r\n"
                              "    Left = 100\r\n"
                              "    Top = 200\r\n"
                              "    Width = 120\r\n"
                              "    Height = 24\r\n"
                              "    Caption = #1058'1 = 70'#39'C'#13#10\r\n"
                              "    Color = 1193046\r\n"
                              "    Font.Charset = RUSSIAN_CHARSET\r\n"
                              "    Font.Color = clBlue\r\n"
                              "    Font.Height = -16\r\n"
                              "    Font.Name = 'Arial'\r\n"
                              "    Font.Style = [fsBold, fsItalic]\r\n"
                              "    ParentColor = False\r\n"
                              "    ParentFont = False\r\n"
                              "    Transparent = False\r\n"
                              "  end\r\n";
    EXPECT_NE(text.find(label), std::string::npos) << text;
    const std::string field = "  object DBText1: TDBText\r\n"
                              "    Left = 300\r\n"
                              "    Top = 40\r\n"
                              "    Width = 90\r\n"
                              "    Height = 20\r\n"
                              "    Alignment = taRightJustify\r\n"
                              "    DataField = 'TemperF1'\r\n"
                              "    DataSource = MainForm.DataSource2\r\n"
                              "    Transparent = True\r\n"
                              "  end\r\n";
    EXPECT_NE(text.find(field), std::string::npos) << text;
    // the image: constraints in their order, the picture, Stretch and Transparent
    EXPECT_NE(text.find("    Height = 12\r\n"
                        "    Constraints.MaxWidth = 126\r\n"
                        "    Constraints.MinHeight = 6\r\n"
                        "    Picture.Data = {\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("}\r\n    Stretch = True\r\n    Transparent = True\r\n  end\r\n"), std::string::npos);
    // nothing but ASCII in the file
    for (unsigned char c : text)
        ASSERT_LT(c, 128);
}

TEST(SchemeWriter, LongStringStartsOnItsOwnLineAndBreaksEvery64Characters) {
    std::string s(64, 'a');
    EXPECT_EQ(writeValue(str(s), 1), "'" + s + "'"); // exactly 64 stays on the property line
    std::string s65 = s + "b";
    EXPECT_EQ(writeValue(str(s65), 1), "\r\n    '" + s + "' +\r\n    'b'");
    // escapes count as one character each
    std::string mixed;
    for (int i = 0; i < 70; ++i)
        mixed += (i % 2) ? "ж" : "x";
    std::string w = writeValue(str(mixed), 2);
    ASSERT_EQ(w.substr(0, 8), "\r\n      ");
    size_t firstBreak = w.find(" +\r\n");
    ASSERT_NE(firstBreak, std::string::npos);
    std::string firstLine = w.substr(8, firstBreak - 8);
    EXPECT_EQ(firstLine.substr(0, 8), "'x'#1078");
    // 64 characters on the first line: 32 'x' runs and 32 "#1078"
    EXPECT_EQ(firstLine.size(), size_t(32 * 3 + 32 * 5));
    EXPECT_EQ(w.substr(firstBreak + 4), "      'x'#1078'x'#1078'x'#1078");
    EXPECT_EQ(writeValue(str(""), 1), "''");
    // beyond U+FFFF: the surrogate pair, as UTF-16 units
    EXPECT_EQ(writeValue(str("a\U0001F600"), 1), "'a'#55357#56832");
}

TEST(SchemeWriter, ByteBlocksOf32OrMoreGoOnLinesOf32) {
    std::vector<uint8_t> b31(31, 0xAB);
    EXPECT_EQ(writeValue(PropValue::makeBytes(b31), 2), "{" + std::string(62, 'A').replace(0, 62, [] {
        std::string h;
        for (int i = 0; i < 31; ++i)
            h += "AB";
        return h;
    }()) + "}");
    std::vector<uint8_t> b32(32, 0x0F);
    std::string h32;
    for (int i = 0; i < 32; ++i)
        h32 += "0F";
    EXPECT_EQ(writeValue(PropValue::makeBytes(b32), 2), "{\r\n      " + h32 + "}");
    std::vector<uint8_t> b33(33, 0x0F);
    EXPECT_EQ(writeValue(PropValue::makeBytes(b33), 1), "{\r\n    " + h32 + "\r\n    0F}");
    EXPECT_EQ(writeValue(PropValue::makeBytes({}), 1), "{}");
}

// ---------------------------------------------------------------- the reader

TEST(SchemeReader, WriterOutputReadsBackByteIdentical) {
    Scheme s = fixtureScheme();
    const std::string first = schemeText(s);
    Scheme back = parseSchemeText(first);
    EXPECT_EQ(schemeText(back), first);
    ASSERT_EQ(back.elements().size(), 4u);
    EXPECT_EQ(back.elements()[1].caption(), "Т1 = 70'C\r\n");
    EXPECT_EQ(back.elements()[1].font().style, unsigned(fsBold | fsItalic));
    EXPECT_EQ(back.elements()[1].color(), 0x00123456u);
    EXPECT_EQ(back.elements()[2].dataField(), "TemperF1");
    EXPECT_EQ(back.elements()[0].picture().bytes, bytesOf(100));
}

struct StringCase {
    const char* name;
    std::string value; // what stands after "Caption = "
    std::string expected;
};

TEST(SchemeReader, StringSegmentsInEveryAcceptedForm) {
    const std::vector<StringCase> cases = {
        {"plain", "'abc'", "abc"},
        {"doubled apostrophe", "'it''s'", "it's"},
        {"only an apostrophe", "''''", "'"},
        {"plus across lines", "'ab' +\r\n      'cd'", "abcd"},
        {"plus with codes", "#1058 +\n'1' + #13#10", "Т1\r\n"},
        {"codes below 128", "#65#066'C'", "ABC"},
        {"windows-1251 bytes", "'\xD2\xE5\xEA\xF1\xF2'", "Текст"},
        {"cp1251 bytes beside a wide code", "#1058'\xE5\xEA'", "Тек"},
        {"codes 128..255 are code points", "#210#229", "Òå"},
        {"Yo", "#1025#1105", "Ёё"},
        {"hexadecimal code", "#$41", "A"},
        {"empty", "''", ""},
        {"spaces between segments", "'a' #66 'c'", "aBc"},
        {"surrogate pair", "#55357#56832", "\U0001F600"},
        {"lone surrogate", "'a'#55357'b'", "a\uFFFDb"},
    };
    for (const auto& c : cases) {
        std::string text = "object Dr: TPanel\r\n  object Text1: TLabel\r\n    Caption = " + c.value +
                           "\r\n  end\r\nend\r\n";
        Scheme s;
        ASSERT_NO_THROW(s = parseSchemeText(text)) << c.name;
        EXPECT_EQ(s.elements().at(0).caption(), c.expected) << c.name;
    }
}

TEST(SchemeReader, AnyLayoutAndOrderOfTheSameTokens) {
    const std::string text =
        "OBJECT Dr:TPanel Left=0 Top=92 object DBText3 : TDBText DataSource = MainForm.DataSource2 "
        "DataField='V11' Top=\t7 Left = -3\n\n Width = 50 Height=10 END\r\nend\r\n\r\n  \r\n";
    Scheme s = parseSchemeText(text);
    ASSERT_EQ(s.elements().size(), 1u);
    const Element& e = s.elements()[0];
    EXPECT_EQ(e.left(), -3);
    EXPECT_EQ(e.top(), 7);
    EXPECT_EQ(e.dataField(), "V11");
    EXPECT_EQ(schemeText(parseSchemeText(schemeText(s))), schemeText(s));
    // written in the class order
    std::string w = schemeText(s);
    EXPECT_LT(w.find("Left = -3"), w.find("Top = 7"));
    EXPECT_LT(w.find("DataField"), w.find("DataSource"));
}

TEST(SchemeReader, FontOrColourWithoutParentFlagsMakeThemFalse) {
    Scheme s = parseSchemeText("object Dr: TPanel\r\n object Text1: TLabel\r\n Font.Height = -20\r\n"
                               " Color = clRed\r\n end\r\nend\r\n");
    const Element& e = s.elements()[0];
    EXPECT_FALSE(e.parentFont());
    EXPECT_FALSE(e.parentColor());
    std::string w = schemeText(s);
    EXPECT_NE(
        w.find("    Color = clRed\r\n    Font.Charset = DEFAULT_CHARSET\r\n    Font.Color = clWindowText\r\n"
               "    Font.Height = -20\r\n    Font.Name = 'MS Sans Serif'\r\n    Font.Style = []\r\n"
               "    ParentColor = False\r\n    ParentFont = False\r\n"),
        std::string::npos)
        << w;
    // an explicit ParentFont = True after the font wins, as when the component reads it
    Scheme t =
        parseSchemeText("object Dr: TPanel object Text1: TLabel Font.Height = -20 ParentFont = True end end");
    EXPECT_TRUE(t.elements()[0].parentFont());
    const std::string written = schemeText(t);
    EXPECT_EQ(written.find("Font.", written.find("object Text1")), std::string::npos);
}

struct BadCase {
    const char* name;
    std::string text;
};

TEST(SchemeReader, RefusesWhatItDoesNotKnow) {
    const std::string head = "object Dr: TPanel\r\n";
    const std::vector<BadCase> cases = {
        {"line break in a quoted segment",
         head + "  object Text1: TLabel\r\n    Caption = 'ab\r\ncd'\r\n  end\r\nend\r\n"},
        {"unknown class", head + "  object Button1: TButton\r\n  end\r\nend\r\n"},
        {"unknown property", head + "  object Text1: TLabel\r\n    Foo = 1\r\n  end\r\nend\r\n"},
        {"property of another class",
         head + "  object MImage1: TImage\r\n    Caption = 'x'\r\n  end\r\nend\r\n"},
        {"string for an integer", head + "  object Text1: TLabel\r\n    Left = 'x'\r\n  end\r\nend\r\n"},
        {"unknown enumeration value",
         head + "  object Text1: TLabel\r\n    Alignment = taMiddle\r\n  end\r\nend\r\n"},
        {"unknown colour", head + "  object Text1: TLabel\r\n    Color = clPink\r\n  end\r\nend\r\n"},
        {"unknown style", head + "  object Text1: TLabel\r\n    Font.Style = [fsShadow]\r\n  end\r\nend\r\n"},
        {"odd hexadecimal",
         head + "  object MImage1: TImage\r\n    Picture.Data = {0754426974}\r\n  end\r\nend\r\n"},
        {"unknown picture kind",
         head + "  object MImage1: TImage\r\n    Picture.Data = {035047460100000000}\r\n  end\r\nend\r\n"},
        {"picture length past the block", head + "  object MImage1: TImage\r\n    Picture.Data = "
                                                 "{07544269746D6170FF000000424D}\r\n  end\r\nend\r\n"},
        {"missing end", head + "  object Text1: TLabel\r\n  end\r\n"},
        {"text after the end", head + "end\r\nobject X: TPanel\r\nend\r\n"},
        {"fraction", head + "  object Text1: TLabel\r\n    Left = 1.5\r\n  end\r\nend\r\n"},
        {"root not a panel", "object Dr: TLabel\r\nend\r\n"},
        {"code beyond Unicode",
         head + "  object Text1: TLabel\r\n    Caption = #1114112\r\n  end\r\nend\r\n"},
        {"element inside a label",
         head + "  object Text1: TLabel\r\n    object Text2: TLabel\r\n    end\r\n  end\r\nend\r\n"},
        {"empty", ""},
        {"nested beyond reason",
         [] {
             std::string t;
             for (int i = 0; i < 100000; ++i)
                 t += "object P" + std::to_string(i) + ": TPanel\n";
             return t;
         }()},
    };
    for (const auto& c : cases)
        EXPECT_THROW(parseSchemeText(c.text), SchemeError) << c.name;
}

TEST(SchemeReader, KnowsPanelsAndDataEdits) {
    Scheme s = parseSchemeText(
        "object Dr: TPanel\r\n  object Panel1: TPanel\r\n    Left = 5\r\n    Caption = 'P'\r\n"
        "    object DBEdit1: TDBEdit\r\n      DataField = 'Err'\r\n"
        "      DataSource = MainForm.DataSource2\r\n    end\r\n  end\r\nend\r\n");
    ASSERT_EQ(s.elements().size(), 1u);
    EXPECT_EQ(s.elements()[0].children().at(0).cls(), ElementClass::DBEdit);
    EXPECT_EQ(schemeText(parseSchemeText(schemeText(s))), schemeText(s));
}

// ---------------------------------------------------------------- values

TEST(SchemeValues, ColourNamesAndNumbers) {
    EXPECT_EQ(colourNames().size(), 52u);
    for (const auto& n : colourNames()) {
        EXPECT_EQ(colourToText(n.value), n.name);
        EXPECT_EQ(parseColour(n.name), n.value);
    }
    EXPECT_EQ(colourToText(0x00123456), "1193046");
    EXPECT_EQ(parseColour("$00FF00FF"), clFuchsia);
    EXPECT_EQ(parseColour("16711935"), clFuchsia);
    EXPECT_EQ(parseColour("clfuchsia"), clFuchsia);
    EXPECT_FALSE(parseColour("fuchsia"));
    // an unnamed system-range value is written as the negative Integer and read back
    Element e(ElementClass::Label, "Text1");
    e.set("Color", num(int32_t(0xFF000040)));
    EXPECT_EQ(writeValue(*e.find("Color"), 1), "-16777152");
    EXPECT_EQ(e.color(), 0xFF000040u);
    EXPECT_EQ(charsetToText(204), "RUSSIAN_CHARSET");
    EXPECT_EQ(charsetToText(5), "5");
    EXPECT_EQ(charsetFromName("OEM_CHARSET"), 255);
}

TEST(SchemeValues, PictureBlockOfEveryKind) {
    for (auto kind : {PictureKind::Bitmap, PictureKind::Jpeg, PictureKind::Metafile, PictureKind::Icon}) {
        Picture p{kind, bytesOf(40)};
        std::vector<uint8_t> data = encodePictureData(p);
        Picture back = decodePictureData(data);
        EXPECT_EQ(back.kind, kind);
        EXPECT_EQ(back.bytes, p.bytes);
    }
    std::vector<uint8_t> meta = encodePictureData({PictureKind::Metafile, bytesOf(40)});
    ASSERT_EQ(meta[0], 9);
    EXPECT_EQ(std::string(meta.begin() + 1, meta.begin() + 10), "TMetafile");
    EXPECT_EQ(dbf::codec::getLe32(&meta[10]), 44u); // the length counts itself
    std::vector<uint8_t> bmp = encodePictureData({PictureKind::Bitmap, bytesOf(40)});
    EXPECT_EQ(dbf::codec::getLe32(&bmp[8]), 40u);
    std::vector<uint8_t> ico = encodePictureData({PictureKind::Icon, bytesOf(40)});
    EXPECT_EQ(ico.size(), 1u + 5u + 40u); // no length
}

TEST(SchemeValues, ElementNamesTakeTheSmallestFreeNumber) {
    Scheme s;
    EXPECT_EQ(s.nextName("MImage"), "MImage1");
    s.elements().emplace_back(ElementClass::Image, "MImage1");
    s.elements().emplace_back(ElementClass::Image, "mimage3");
    EXPECT_EQ(s.nextName("MImage"), "MImage2");
    s.elements().emplace_back(ElementClass::Image, "MImage2");
    EXPECT_EQ(s.nextName("MImage"), "MImage4");
    EXPECT_EQ(s.nextName("Text"), "Text1");
}

// ---------------------------------------------------------------- files

TEST(SchemeFiles, SaveAndLoad) {
    mervo::test::TempDir dir;
    fs::create_directories(dir.path() + "/Circuits/229");
    const std::string path = schemePath(dir.path(), 229, 3);
    EXPECT_EQ(path, dir.path() + "/Circuits/229/S3.MNS");
    Scheme s = fixtureScheme();
    saveSchemeFile(s, path);
    EXPECT_EQ(readAll(path), schemeText(s));
    EXPECT_EQ(schemeText(loadSchemeFile(path)), schemeText(s));
    EXPECT_EQ(findSchemeFile(dir.path(), 229, 3), path);
    EXPECT_EQ(findSchemeFile(dir.path(), 229, 4), "");
    // the per-type folder is not created by a save
    EXPECT_THROW(saveSchemeFile(s, schemePath(dir.path(), 230, 1)), SchemeError);
    EXPECT_FALSE(fs::exists(dir.path() + "/Circuits/230"));
    EXPECT_EQ(nextFreeSchemeNumber(dir.path(), 229), 1);
    saveSchemeFile(s, schemePath(dir.path(), 229, 1));
    saveSchemeFile(s, schemePath(dir.path(), 229, 2));
    EXPECT_EQ(nextFreeSchemeNumber(dir.path(), 229), 4);
}

TEST(SchemeFiles, FoldersAndNamesMatchWithoutRegardToCase) {
    mervo::test::TempDir dir;
    fs::create_directories(dir.path() + "/circuits/128");
    writeAll(dir.path() + "/circuits/128/s2.mns", schemeText(Scheme()));
    EXPECT_EQ(findSchemeFile(dir.path(), 128, 2), dir.path() + "/circuits/128/s2.mns");
}

TEST(SchemeFiles, MalformedFileIsRefusedWithTheMessageAndLeftUntouched) {
    mervo::test::TempDir dir;
    const std::string path = dir.file("S1.MNS");
    const std::string text = "object Dr: TPanel\r\n  object Button1: TButton\r\n  end\r\nend\r\n\r\n";
    writeAll(path, text);
    fs::permissions(path, fs::perms::owner_read); // a writer would fail loudly
    auto before = fs::last_write_time(path);
    try {
        loadSchemeFile(path);
        FAIL() << "loaded";
    } catch (const SchemeLoadError& e) {
        EXPECT_EQ(std::string(e.what()), "Ошибка загрузки схемы " + path);
        EXPECT_NE(e.detail().find("TButton"), std::string::npos);
    }
    EXPECT_EQ(readAll(path), text);
    EXPECT_EQ(fs::last_write_time(path), before);
    fs::permissions(path, fs::perms::owner_all);
    // a missing file fails the same way
    EXPECT_THROW(loadSchemeFile(dir.file("S9.MNS")), SchemeLoadError);
}

TEST(SchemeFiles, FailedSaveKeepsTheOldScheme) {
    mervo::test::TempDir dir;
    const std::string path = dir.file("S1.MNS");
    saveSchemeFile(fixtureScheme(), path);
    const std::string old = readAll(path);
    // the new text cannot be written (its scratch file is taken by a folder): the old scheme stays whole
    fs::create_directory(path + ".tmp" + std::to_string(::getpid()));
    EXPECT_THROW(saveSchemeFile(Scheme(), path), SchemeError);
    EXPECT_EQ(readAll(path), old);
}

TEST(SchemeList, DescriptionsPerDeviceTypeInWindows1251) {
    mervo::test::TempDir dir;
    fs::create_directories(dir.path() + "/Circuits");
    const std::string list = schemeListPath(dir.path());
    EXPECT_EQ(list, dir.path() + "/Circuits/ScmList.lst");
    writeSchemeDescription(list, 229, 1, "Схема независимая отопления");
    writeSchemeDescription(list, 229, 2, "Узел 5");
    writeSchemeDescription(list, 128, 1, "Водомеры");
    writeSchemeDescription(list, 229, 1, "Схема зависимая");
    std::string raw = readAll(list);
    EXPECT_NE(raw.find("[229]\r\nS1=" + dbf::codec::toCp1251("Схема зависимая") + "\r\nS2="),
              std::string::npos)
        << raw;
    auto lines = readSchemeList(list, 229);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text(), "S1=Схема зависимая");
    EXPECT_EQ(lines[1].number(), 2);
    EXPECT_EQ(readSchemeList(list, 128).at(0).description, "Водомеры");
    EXPECT_TRUE(readSchemeList(list, 236).empty());
    EXPECT_EQ((SchemeListLine{"Sx", ""}.number()), 0);
}

// Damaged files: every outcome is a scheme or a SchemeError, never a crash or a read outside the text.
TEST(SchemeReader, DamagedTextsAreReadOrRefused) {
    const std::string good = schemeText(fixtureScheme());
    uint32_t seed = 12345;
    auto rnd = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFFFF;
    };
    const char alphabet[] = "'#+{}[]=:\r\n 0123456789ABCDEFobjectend,$-.";
    int refused = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string t = good;
        const int edits = 1 + int(rnd() % 4);
        for (int k = 0; k < edits; ++k) {
            size_t at = rnd() % t.size();
            switch (rnd() % 3) {
            case 0:
                t[at] = alphabet[rnd() % (sizeof alphabet - 1)];
                break;
            case 1:
                t.erase(at, 1 + rnd() % 40);
                break;
            default:
                t.insert(at, 1, char(rnd() % 256));
                break;
            }
            if (t.empty()) t = "x";
        }
        try {
            Scheme s = parseSchemeText(t);
            EXPECT_EQ(schemeText(parseSchemeText(schemeText(s))), schemeText(s));
        } catch (const SchemeError&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 100);
}

// ---------------------------------------------------------------- the root block

namespace {

// A file whose drawing area holds only what the reader accepts at the least, with the fixture's elements.
std::string reducedRootFile(const std::string& extra) {
    std::string full = schemeText(fixtureScheme());
    const std::string head = "object Dr: TPanel\r\n";
    const size_t elements = full.find("  object ");
    return head + "  Left = 8\r\n  Top = 40\r\n  Width = 800\r\n  Height = 500\r\n" + extra +
           full.substr(elements);
}

} // namespace

TEST(SchemeRootBlock, AReducedBlockIsReadOverTheStandardAreaAndWrittenBackInFull) {
    struct Case {
        const char* name;
        std::string extra;                         // further area properties in the reduced block
        std::function<void(Scheme&)> standardMade; // the same change made on a scheme made from scratch
    };
    const std::vector<Case> cases = {
        {"geometry only", "", [](Scheme&) {}},
        {"a caption", "  Caption = #1053#1077#1090' '#1089#1093#1077#1084#1099\r\n",
         [](Scheme& s) { s.area.set("Caption", str("Нет схемы")); }},
        {"the area's font height", "  Font.Height = -16\r\n",
         [](Scheme& s) {
             Font f = s.area.font();
             f.height = -16;
             s.area.setFont(f);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scheme loaded = parseSchemeText(reducedRootFile(c.extra));
        // the area keeps its own geometry and takes the file's other properties
        EXPECT_EQ(loaded.area.left(), 0);
        EXPECT_EQ(loaded.area.top(), 92);
        EXPECT_EQ(loaded.area.width(), kAreaWidth);
        EXPECT_EQ(loaded.area.height(), kAreaHeight);
        EXPECT_EQ(loaded.area.maxWidth(), kAreaWidth);
        EXPECT_FALSE(loaded.area.parentFont());
        EXPECT_EQ(loaded.area.identProp("BevelInner"), "bvLowered");
        Scheme scratch = fixtureScheme();
        c.standardMade(scratch);
        EXPECT_EQ(loaded.area.font(), scratch.area.font());
        EXPECT_EQ(loaded.area.caption(), scratch.area.caption());
        // byte for byte what a scheme of the same elements made from scratch writes
        EXPECT_EQ(schemeText(loaded), schemeText(scratch));
    }
}

TEST(SchemeRootBlock, SavedFromAReducedFileTheRootBlockIsTheStandardOne) {
    mervo::test::TempDir dir;
    writeAll(dir.file("S1.MNS"), reducedRootFile(""));
    Scheme s = loadSchemeFile(dir.file("S1.MNS"));
    saveSchemeFile(s, dir.file("S2.MNS"));
    saveSchemeFile(fixtureScheme(), dir.file("S3.MNS"));
    const std::string saved = readAll(dir.file("S2.MNS"));
    EXPECT_EQ(saved, readAll(dir.file("S3.MNS")));
    // the root block of an empty scheme, up to its "end"
    std::string root = schemeText(Scheme());
    root.erase(root.size() - std::string("end\r\n\r\n").size());
    EXPECT_EQ(saved.substr(0, root.size()), root);
}

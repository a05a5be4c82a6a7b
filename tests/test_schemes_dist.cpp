// The scheme files delivered with the program: every device type has a scheme that loads, reads back as it
// was written and whose field labels name fields of that type's state table; every field label has room for
// the widest value of its field and lies clear of the other elements; auto-sized labels are stored with
// their text's size; the element library draws every element; the wallpaper is a JPEG of the drawing
// area's inside; the files are what the generator makes.
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "schemes/render.h"
#include "tmpdir.h"

#include <QFontMetrics>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

using namespace schemes;
namespace fs = std::filesystem;

namespace {

const std::string kDist = MERVO_DIST_DIR;

void collectFields(const Element& e, std::vector<std::string>& out) {
    if (e.cls() == ElementClass::DBText || e.cls() == ElementClass::DBEdit) {
        out.push_back(e.dataField());
        EXPECT_EQ(e.dataSource(), kStateSourceName) << e.name();
    }
    for (const auto& c : e.children())
        collectFields(c, out);
}

} // namespace

TEST(DeliveredSchemes, EveryTypeHasASchemeShowingItsStateFields) {
    const auto list = readSchemeList(schemeListPath(kDist), 229);
    ASSERT_FALSE(list.empty());
    for (const auto& t : devdata::deviceTypes()) {
        SCOPED_TRACE(t.code);
        const std::string path = findSchemeFile(kDist, t.code, 1);
        ASSERT_FALSE(path.empty());
        Scheme s = loadSchemeFile(path);
        const std::string text = schemeText(s);
        EXPECT_EQ(schemeText(parseSchemeText(text)), text);
        std::vector<std::string> fields;
        collectFields(s.area, fields);
        const devdata::TableLayout* layout = devdata::stateTableLayout(t.code);
        ASSERT_TRUE(layout);
        std::set<std::string> known, shown(fields.begin(), fields.end());
        for (const auto& f : layout->fields)
            known.insert(f.name);
        for (const auto& f : fields)
            EXPECT_TRUE(known.count(f)) << f;
        // every state field but the row's own numbers is on the scheme
        for (const auto& f : layout->fields)
            if (f.name != "NUM" && f.name != "NUMSTATE") {
                EXPECT_TRUE(shown.count(f.name)) << f.name;
            }
        // every picture decodes
        for (const auto& e : s.elements())
            if (e.cls() == ElementClass::Image) {
                EXPECT_FALSE(pictureImage(e.picture()).isNull()) << e.name();
            }
        auto lines = readSchemeList(schemeListPath(kDist), t.code);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].number(), 1);
        EXPECT_FALSE(lines[0].description.empty());
    }
}

TEST(DeliveredSchemes, ElementLibraryDrawsEveryElement) {
    ElementLibrary lib(elementLibraryPath(kDist));
    const std::vector<std::string> expected = {
        "Насос",         "Задвижка",        "Клапан обратный",    "Фильтр",
        "Теплообменник", "Счетчик расхода", "Датчик температуры", "Датчик давления",
        "Бак",           "Труба подающая",  "Труба обратная"};
    for (const auto& name : expected)
        EXPECT_TRUE(lib.section(name)) << name;
    for (const auto& name : lib.sectionNames()) {
        auto d = lib.draw(name, 2);
        ASSERT_TRUE(d) << name;
        // something besides the see-through background is drawn
        int drawn = 0;
        for (int y = 0; y < d->image.height(); ++y)
            for (int x = 0; x < d->image.width(); ++x)
                drawn += (d->image.pixel(x, y) & 0xFFFFFF) != 0xFF00FF;
        EXPECT_GT(drawn, d->image.width()) << name;
    }
}

TEST(DeliveredSchemes, WallpaperIsAJpegOfTheAreaInside) {
    QImage w = loadJpegFile(wallpaperPath(kDist));
    ASSERT_FALSE(w.isNull());
    EXPECT_EQ(w.size(), QSize(kAreaWidth - 2 * kAreaBevel, kAreaHeight - 2 * kAreaBevel));
}

namespace {

QRect boxOf(const Element& e) {
    return QRect(e.left(), e.top(), e.width(), e.height());
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(DeliveredSchemes, FieldLabelsHoldTheWidestValueAndLieClearOfTheOtherElements) {
    const QRect inside(kAreaBevel, kAreaBevel, kAreaWidth - 2 * kAreaBevel, kAreaHeight - 2 * kAreaBevel);
    for (const auto& t : devdata::deviceTypes()) {
        SCOPED_TRACE(t.code);
        Scheme s = loadSchemeFile(findSchemeFile(kDist, t.code, 1));
        // the boxes as the object window has them
        fitAutoSizedLabels(s.area);
        int labels = 0;
        for (const auto& d : s.elements()) {
            if (d.cls() != ElementClass::DBText) continue;
            ++labels;
            SCOPED_TRACE(d.name() + " " + d.dataField());
            const std::string widest = devdata::widestStateText(t.code, d.dataField());
            ASSERT_FALSE(widest.empty());
            const QString value = QString::fromStdString(widest);
            EXPECT_LE(QFontMetrics(effectiveFont(d, s.area)).horizontalAdvance(value), d.width());
            EXPECT_FALSE(shownFieldText(d, s.area, value).cut());
            EXPECT_TRUE(inside.contains(boxOf(d)));
            for (const auto& e : s.elements())
                if (&e != &d) {
                    EXPECT_FALSE(boxOf(e).intersects(boxOf(d))) << "on " << e.name();
                }
        }
        EXPECT_GT(labels, 0);
    }
}

// What the labels must have room for: energies, volumes and masses with eight integer digits at least and
// the decimals the reader writes them with.
TEST(DeliveredSchemes, WidestValuesOfEnergiesVolumesAndMasses) {
    struct Case {
        int type;
        const char* field;
        int wholeAtLeast;
        int decimals;
    };
    const std::vector<Case> cases = {
        {236, "HEnergy1", 8, 2}, {236, "V11", 8, 2},     {236, "V32", 8, 2},      {236, "Weight11", 8, 2},
        {229, "HEnergy2", 8, 2}, {229, "V21", 8, 2},     {225, "HEnergy1", 8, 2}, {225, "Vmin", 8, 2},
        {225, "E2", 8, 2},       {238, "V31", 8, 2},     {128, "V41", 8, 3},      {231, "VolumeL", 8, 2},
        {236, "TemperF1", 3, 2}, {236, "CurrV11", 4, 2}, {236, "Err1", 3, 0},     {128, "V11_Ves", 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.field);
        std::string w = devdata::widestStateText(c.type, c.field);
        if (!w.empty() && w[0] == '-') w.erase(0, 1);
        const size_t point = w.find('.');
        const int whole = int(point == std::string::npos ? w.size() : point);
        const int decimals = point == std::string::npos ? 0 : int(w.size() - point - 1);
        EXPECT_GE(whole, c.wholeAtLeast);
        EXPECT_EQ(decimals, c.decimals);
    }
    EXPECT_EQ(devdata::widestStateText(236, "NUMSTATE"), "");
    EXPECT_EQ(devdata::widestStateText(229, "Weight11"), ""); // 229 stores no masses
}

TEST(DeliveredSchemes, AutoSizedLabelsAreStoredWithTheirTextsSize) {
    for (const auto& t : devdata::deviceTypes()) {
        SCOPED_TRACE(t.code);
        const Scheme s = loadSchemeFile(findSchemeFile(kDist, t.code, 1));
        int autoSized = 0;
        for (const auto& e : s.elements()) {
            if (e.cls() != ElementClass::Label || !e.autoSize()) continue;
            ++autoSized;
            EXPECT_EQ(QSize(e.width(), e.height()), labelExtent(e, s.area, captionText(e.caption())))
                << e.name() << " " << e.caption();
        }
        EXPECT_GT(autoSized, 0);
    }
}

// dist/ is committed: it must be what the generator makes from its sources now.
TEST(DeliveredSchemes, DistIsWhatTheGeneratorMakes) {
    mervo::test::TempDir out;
    QProcess gen;
    gen.start(MAKE_DIST_PATH,
              {QString::fromStdString(MERVO_SOURCE_DIR "/schemes/tools"), QString::fromStdString(out.path()),
               QString::fromStdString(out.file("background.jpg"))});
    ASSERT_TRUE(gen.waitForFinished(120000));
    ASSERT_EQ(gen.exitCode(), 0) << gen.readAllStandardError().toStdString();
    int compared = 0;
    for (const auto& f : fs::recursive_directory_iterator(out.path())) {
        if (!f.is_regular_file() || f.path().filename() == "background.jpg") continue;
        const fs::path rel = fs::relative(f.path(), out.path());
        SCOPED_TRACE(rel.string());
        ASSERT_TRUE(fs::exists(fs::path(kDist) / rel));
        EXPECT_TRUE(readAll(f.path()) == readAll(fs::path(kDist) / rel));
        ++compared;
    }
    EXPECT_GT(compared, 12);
    EXPECT_TRUE(readAll(out.file("background.jpg")) ==
                readAll(MERVO_SOURCE_DIR "/schemes/resources/background.jpg"));
}

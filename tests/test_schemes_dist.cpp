// The scheme files delivered with the program: every device type has a scheme that loads, reads back as it
// was written and whose field labels name fields of that type's state table; the element library draws
// every element; the wallpaper is a JPEG of the drawing area's inside.
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "schemes/render.h"

#include <gtest/gtest.h>
#include <set>

using namespace schemes;

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

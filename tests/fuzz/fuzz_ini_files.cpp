// libFuzzer target of the INI-style files: the first byte chooses the file, the rest is its bytes.
//   0  an INI file as the programs read and write it (settings.ini, SPatterns.ini and its RepStore.ini):
//      written and read again it holds the same sections, keys, values and lines; its values set into a
//      new file read back the same
//   1  the settings store: the settings loaded, saved and loaded again are the same
//   2  Patterns.ini: every group and template read, and read alike a second time
//   3  RepStore.ini: a choice stored reads back, every other section stays as it was
//   4  ScmList.lst: a description written reads back, every other line of the list stays
//   5  Objects.ini: every section draws, or is refused, with the size it says
#include "devdata/settings.h"
#include "report/catalogue.h"
#include "schemes/render.h"
#include "schemes/scheme.h"
#include "tests/fuzz/fuzz_support.h"

#include <QGuiApplication>
#include <cctype>
#include <map>
#include <tuple>

namespace {

bool sameSection(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

struct Snapshot {
    std::vector<std::string> sections;
    std::map<std::string, std::vector<std::string>> keys, lines;
    std::map<std::pair<std::string, std::string>, std::optional<std::string>> values;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const devdata::IniFile& ini) {
    Snapshot s;
    s.sections = ini.sections();
    for (const std::string& sec : s.sections) {
        s.keys[sec] = ini.keys(sec);
        s.lines[sec] = ini.lines(sec);
        for (const std::string& k : s.keys[sec])
            s.values[{sec, k}] = ini.value(sec, k);
    }
    return s;
}

void iniRoundTrip(const std::string& dir, const std::string& path) {
    const devdata::IniFile first(path);
    const Snapshot read = snapshot(first);
    first.write();
    fuzz::check(snapshot(devdata::IniFile(path)) == read, "an INI file written reads back otherwise");

    devdata::IniFile fresh(dir + "/fresh.ini");
    for (const auto& [key, value] : read.values)
        fresh.set(key.first, key.second, value.value_or(""));
    fresh.write();
    const devdata::IniFile back(dir + "/fresh.ini");
    for (const auto& [key, value] : read.values)
        if (back.value(key.first, key.second) != read.values.at(key))
            fuzz::fail("[" + key.first + "] " + key.second + "=" + value.value_or("") +
                       " set into a new file reads back as " +
                       back.value(key.first, key.second).value_or("(none)"));
}

void settingsStore(const std::string& path) {
    devdata::SettingsStore store(path);
    const devdata::Settings a = store.load();
    store.save(a);
    const devdata::Settings b = store.load();
    auto fields = [](const devdata::Settings& s) {
        return std::tie(s.dpath, s.period, s.periodX, s.repeat, s.archFilter, s.archType, s.par1_228,
                        s.par1_225, s.par1_234, s.par1_128, s.par2);
    };
    fuzz::check(fields(a) == fields(b), "the settings saved load otherwise");
    fuzz::check(a.dtconn == b.dtconn, "the next poll time saved loads otherwise");
}

void catalogue(const std::string& path) {
    const auto groups = zorbel::readCatalogue(path);
    const auto again = zorbel::readCatalogue(path);
    fuzz::check(groups.size() == again.size(), "the catalogue reads otherwise the second time");
    for (size_t i = 0; i < groups.size(); ++i)
        fuzz::check(groups[i].name == again[i].name && groups[i].reports == again[i].reports,
                    "the catalogue reads otherwise the second time");
}

void repStore(const std::string& path) {
    const Snapshot before = snapshot(devdata::IniFile(path));
    const auto choice = zorbel::readStoredChoice(path, 530, 236);
    const std::string group = choice && choice->group ? *choice->group : "Группа 1";
    const std::string report = choice && choice->report ? *choice->report : "Отчет за сутки";
    zorbel::storeChoice(path, 530, 236, group, report);
    const auto back = zorbel::readStoredChoice(path, 530, 236);
    fuzz::check(back && back->group == group && back->report == report,
                "a stored choice reads back otherwise");
    Snapshot after = snapshot(devdata::IniFile(path));
    const std::string mine = zorbel::repStoreSection(530, 236);
    for (const std::string& sec : before.sections) {
        if (sameSection(sec, mine)) continue;
        fuzz::check(after.lines[sec] == before.lines.at(sec),
                    "storing a choice changed section [" + sec + "]");
    }
}

void schemeList(const std::string& path) {
    const auto other = schemes::readSchemeList(path, 230);
    const auto before = schemes::readSchemeList(path, 236);
    schemes::writeSchemeDescription(path, 236, 7, "Схема узла ввода");
    const auto after = schemes::readSchemeList(path, 236);
    bool found = false;
    for (const auto& l : after)
        if (l.key == "S7") found = l.description == "Схема узла ввода";
    fuzz::check(found, "a scheme description written reads back otherwise");
    for (const auto& l : before) {
        if (l.key == "S7" || l.key == "s7") continue;
        bool kept = false;
        for (const auto& m : after)
            kept = kept || (m.key == l.key && m.description == l.description);
        fuzz::check(kept, "writing a description lost the line " + l.text());
    }
    const auto otherAfter = schemes::readSchemeList(path, 230);
    fuzz::check(otherAfter.size() == other.size(), "writing a description changed another type's list");
}

void elementLibrary(const std::string& path) {
    const schemes::ElementLibrary lib(path);
    for (const std::string& name : lib.sectionNames()) {
        const auto drawn = lib.draw(name, 1);
        if (!drawn) continue;
        fuzz::check(drawn->image.width() == drawn->width && drawn->image.height() == drawn->height,
                    "section " + name + " draws at another size than it says");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(quiet);
    static QGuiApplication* app = new QGuiApplication(*argc, *argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int kind = in.byte() % 6;
    const std::string dir = fuzz::freshDir("ini");
    const std::string path = dir + "/file.ini";
    fuzz::writeBytes(path, in.rest());
    try {
        switch (kind) {
        case 0:
            iniRoundTrip(dir, path);
            break;
        case 1:
            settingsStore(path);
            break;
        case 2:
            catalogue(path);
            break;
        case 3:
            repStore(path);
            break;
        case 4:
            schemeList(path);
            break;
        case 5:
            elementLibrary(path);
            break;
        }
    } catch (const dbf::Error& e) {
        fuzz::fail(std::string("a file in a writable folder could not be written: ") + e.what());
    }
    return 0;
}

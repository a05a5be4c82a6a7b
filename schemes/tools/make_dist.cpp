// Makes the scheme files delivered with the program (dist/): the element library "Circuits/Objects.ini"
// (Windows-1251, from the UTF-8 text beside this file), one scheme "S1.MNS" per device type drawn from that
// library with field labels for every state field of the type, the scheme list "Circuits/ScmList.lst", the
// wallpaper "wallpaper.jpg" and the built-in background picture of the object window.
//   mervo_make_dist SOURCE_DIR DIST_DIR BACKGROUND_JPG [PREVIEW_DIR]
// The results are committed; run it again after changing the library or the layouts.
#include "dbf/codec.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "schemes/render.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace schemes;
namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

PropValue id(const char* s) {
    return PropValue::makeIdent(s);
}

class Builder {
public:
    Builder(const ElementLibrary& lib, int type) : lib_(lib), type_(type) {}
    Scheme scheme;

    // A library element centred on (x, y) at the scale.
    void part(const std::string& section, int x, int y, int scale = 2) {
        auto e = makeVectorElement(lib_, section, scale, QPoint(x, y), scheme);
        if (!e) throw std::runtime_error("no library element " + section);
        scheme.elements().push_back(*e);
    }
    // A pipe element stretched from x1 to x2 (horizontal) at height y.
    void hpipe(const std::string& section, int x1, int x2, int y) {
        part(section, (x1 + x2) / 2, y);
        Element& e = scheme.elements().back();
        e.setBounds(x1, y - e.height() / 2, x2 - x1, e.height());
    }
    void vpipe(const std::string& section, int x, int y1, int y2) {
        part(section, x, (y1 + y2) / 2);
        Element& e = scheme.elements().back();
        e.setBounds(x - e.width() / 2, y1, e.width(), y2 - y1);
    }
    // A text label, auto-sized: its box is its text's.
    Element& text(int x, int y, const std::string& caption, int height = -12, unsigned style = 0,
                  uint32_t colour = clBlack) {
        Element e(ElementClass::Label, scheme.nextName("Text"));
        e.setBounds(x, y, 0, 0);
        e.set("Caption", PropValue::makeString(caption));
        Font f;
        f.name = "Arial";
        f.charset = RUSSIAN_CHARSET;
        f.height = height;
        f.style = style;
        f.color = colour;
        e.setFont(f);
        e.set("Transparent", id("True"));
        fitAutoSize(e, scheme.area);
        scheme.elements().push_back(e);
        return scheme.elements().back();
    }
    // "name" [value] "unit": a caption right-aligned before the field label and the unit after it. The
    // field label has room for the widest value the device can report in the field (and at least width).
    // Returns the right edge of the unit.
    int field(int x, int y, const std::string& name, const std::string& dataField, const std::string& unit,
              int width = 84, int captionWidth = 82) {
        Element& cap = text(x - captionWidth - 4, y + 2, name);
        cap.set("AutoSize", id("False"));
        cap.set("Alignment", id("taRightJustify"));
        cap.set("Width", PropValue::makeInt(captionWidth));
        cap.set("Height", PropValue::makeInt(17));
        Element d(ElementClass::DBText, scheme.nextName("DBText"));
        d.set("Alignment", id("taRightJustify"));
        d.set("Color", id("clWhite"));
        d.set("DataField", PropValue::makeString(dataField));
        d.set("DataSource", id(kStateSourceName));
        Font f;
        f.name = "Arial";
        f.charset = RUSSIAN_CHARSET;
        f.height = -15;
        f.style = fsBold;
        f.color = clNavy;
        d.setFont(f);
        d.set("ParentColor", id("False"));
        d.set("Transparent", id("False"));
        d.setBounds(x, y, std::max(width, fieldWidth(d, dataField)), 20);
        const int right = x + d.width();
        scheme.elements().push_back(d);
        if (unit.empty()) return right;
        const Element& u = text(right + 4, y + 2, unit);
        return u.left() + u.width();
    }
    // The width a field label needs for the widest value of its field, with a margin on either side.
    int fieldWidth(const Element& d, const std::string& dataField) const {
        const std::string widest = devdata::widestStateText(type_, dataField);
        if (widest.empty()) throw std::runtime_error("no widest value of " + dataField);
        return QFontMetrics(effectiveFont(d, scheme.area)).horizontalAdvance(QString::fromStdString(widest)) +
               6;
    }

private:
    const ElementLibrary& lib_;
    int type_;
};

const std::string kDeg = "°C";
const std::string kM3 = "м³";
const std::string kM3h = "м³/ч";

void title(Builder& b, int type) {
    std::string name = devdata::deviceTypeName(type);
    if (name.empty()) name = "тип " + std::to_string(type);
    b.text(16, 8, "Узел учета тепловой энергии. Вычислитель " + name, -18, fsBold, clNavy);
    b.part("Тепловычислитель", 955, 40);
}

// One heating system: supply pipe at ySupply, return pipe 100 pixels below; n = 1 or 2 (field digit).
void heatingSystem(Builder& b, int n, int ySupply, bool pressures, bool masses) {
    const std::string d = std::to_string(n);
    const int yReturn = ySupply + 100;
    // the value columns: beside the meters, after the sensors, beyond the heat exchanger
    const int colA = 300, colB = 540, colC = 862;
    b.text(16, ySupply - 44, n == 1 ? "Система 1 (отопление)" : "Система 2 (вентиляция / ГВС)", -14, fsBold);
    b.hpipe("Труба подающая", 16, 758, ySupply);
    b.hpipe("Труба обратная", 16, 758, yReturn);
    b.part("Теплообменник", 795, (ySupply + yReturn) / 2, 2);
    b.part("Стрелка потока", 40, ySupply - 14, 2);
    b.part("Задвижка", 84, ySupply - 6);
    b.part("Фильтр", 140, ySupply);
    b.part("Счетчик расхода", 230, ySupply);
    b.part("Датчик температуры", 340, ySupply - 30);
    if (pressures) b.part("Датчик давления", 420, ySupply - 30);
    b.part("Задвижка", 84, yReturn - 6);
    b.part("Клапан обратный", 150, yReturn);
    b.part("Счетчик расхода", 230, yReturn);
    b.part("Насос", 480, yReturn);
    b.part("Датчик температуры", 680, yReturn - 30);
    if (pressures) b.part("Датчик давления", 730, yReturn - 30);
    // supply values between the pipes, return values below the return pipe
    b.field(colB, ySupply - 46, "Q" + d, "HEnergy" + d, "Гкал", 96);
    b.field(colA, ySupply + 14, "V1", "V1" + d, kM3);
    b.field(colB, ySupply + 14, "T1", "TemperF" + d, kDeg);
    b.field(colA, yReturn + 14, "V2", "V2" + d, kM3);
    b.field(colB, yReturn + 14, "T2", "TemperR" + d, kDeg);
    if (pressures) {
        b.field(colA, ySupply + 38, "G1", "CurrV1" + d, kM3h);
        b.field(colB, ySupply + 38, "P1", "Pressure1" + d, "МПа");
        b.field(colA, yReturn + 38, "G2", "CurrV2" + d, kM3h);
        b.field(colB, yReturn + 38, "P2", "Pressure2" + d, "МПа");
    }
    if (masses) {
        b.field(colA, ySupply + 62, "M1", "Weight1" + d, "т");
        b.field(colA, yReturn + 62, "M2", "Weight2" + d, "т");
    }
    // the third channel (make-up or hot water) and the hot-water temperature, beyond the heat exchanger
    const int y3 = (ySupply + yReturn) / 2;
    b.hpipe("Труба подающая", 840, 900, y3 - 30);
    b.part("Счетчик расхода", 930, y3 - 30);
    // narrow captions: the column has the room between the exchanger and the area's edge
    b.field(colC, y3 - 4, "V3", "V3" + d, kM3, 80, 22);
    int row = y3 + 20;
    if (pressures) {
        b.field(colC, row, "G3", "CurrV3" + d, kM3h, 80, 22);
        row += 24;
    }
    if (masses) {
        b.field(colC, row, "M3", "Weight3" + d, "т", 80, 22);
        row += 24;
    }
    b.field(colC, row, "T3", "TemperX" + d, kDeg, 80, 22);
}

Scheme twoSystems(const ElementLibrary& lib, int type, bool masses) {
    Builder b(lib, type);
    title(b, type);
    heatingSystem(b, 1, 95, true, masses);
    heatingSystem(b, 2, 340, true, masses);
    b.field(110, 555, "Ошибки 1", "Err1", "");
    b.field(330, 555, "2", "Err2", "");
    b.field(560, 555, "Прибор", "HardErr", "");
    return b.scheme;
}

Scheme oneSystem(const ElementLibrary& lib, int type) {
    Builder b(lib, type);
    title(b, type);
    heatingSystem(b, 1, 130, false, false);
    b.text(16, 346, "Учет", -14, fsBold);
    b.field(150, 380, "Vmin", "Vmin", kM3);
    b.field(150, 410, "E1", "E1", "кВт·ч");
    b.field(150, 440, "E2", "E2", "кВт·ч");
    b.part("Бак", 560, 420);
    b.text(600, 440, "подпитка");
    b.field(110, 550, "Ошибки", "Err", "");
    return b.scheme;
}

Scheme kesta(const ElementLibrary& lib, int type) {
    Builder b(lib, type);
    title(b, type);
    for (int i = 1; i <= 4; ++i) {
        const int y = 90 + i * 90;
        const std::string c = std::to_string(i);
        b.text(16, y - 40, "Канал " + c, -14, fsBold);
        b.hpipe("Труба обратная", 16, 560, y);
        b.part("Кран шаровой", 80, y);
        b.part("Фильтр", 150, y);
        b.part("Счетчик расхода", 260, y);
        b.part("Клапан обратный", 360, y);
        b.field(680, y - 22, "V" + c, "V" + c + "1", kM3, 110);
        b.field(680, y + 2, "Вес имп.", "V" + c + "1_Ves", "л/имп", 110);
    }
    b.field(130, 550, "Каналов", "MOD", "");
    b.field(400, 550, "Ошибки", "Err", "");
    return b.scheme;
}

Scheme oxel(const ElementLibrary& lib, int type) {
    Builder b(lib, type);
    title(b, type);
    b.text(16, 110, "Расходомер на трубопроводе", -14, fsBold);
    b.hpipe("Труба подающая", 16, 980, 200);
    b.part("Стрелка потока", 40, 186, 2);
    b.part("Задвижка", 120, 194);
    b.part("Фильтр", 220, 200);
    b.part("Счетчик расхода", 480, 200, 3);
    b.part("Задвижка", 760, 194);
    b.field(420, 280, "Зав. №", "SerialNum", "", 110);
    b.field(420, 310, "Ду", "Dy", "мм", 110);
    b.field(420, 340, "V", "VolumeL", kM3, 110);
    b.field(420, 370, "G", "Flow", kM3h, 110);
    b.field(420, 400, "Вес имп.", "VesOut", "л/имп", 110);
    b.field(420, 430, "Наработка", "TimeWork", "ч", 110);
    b.field(420, 470, "Ошибки", "Err", "", 110);
    return b.scheme;
}

QImage wallpaper(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(0xF4, 0xF7, 0xFA));
    g.setColorAt(1, QColor(0xDC, 0xE5, 0xEE));
    p.fillRect(img.rect(), g);
    p.setPen(QColor(0xE2, 0xE9, 0xF0));
    for (int x = 0; x < w; x += 25)
        p.drawLine(x, 0, x, h);
    for (int y = 0; y < h; y += 25)
        p.drawLine(0, y, w, y);
    p.setPen(QColor(0xD2, 0xDC, 0xE6));
    for (int x = 0; x < w; x += 125)
        p.drawLine(x, 0, x, h);
    for (int y = 0; y < h; y += 125)
        p.drawLine(0, y, w, y);
    return img;
}

// Every field label lies clear of every other element and inside the drawing area.
void checkLayout(const Scheme& s, int type) {
    std::string faults;
    const QRect inside(kAreaBevel, kAreaBevel, kAreaWidth - 2 * kAreaBevel, kAreaHeight - 2 * kAreaBevel);
    auto box = [](const Element& e) { return QRect(e.left(), e.top(), e.width(), e.height()); };
    for (const auto& d : s.elements()) {
        if (d.cls() == ElementClass::Image) continue;
        if (!inside.contains(box(d))) faults += " " + d.name() + " outside the area;";
        if (d.cls() != ElementClass::DBText) continue;
        for (const auto& e : s.elements())
            if (&e != &d && box(e).intersects(box(d))) faults += " " + d.name() + " on " + e.name() + ";";
    }
    if (!faults.empty()) throw std::runtime_error("scheme of type " + std::to_string(type) + ":" + faults);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: mervo_make_dist SOURCE_DIR DIST_DIR BACKGROUND_JPG [PREVIEW_DIR]\n";
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const std::string src = argv[1], dist = argv[2], background = argv[3];
    const std::string preview = argc > 4 ? argv[4] : "";
    try {
        fs::create_directories(dist + "/Circuits");
        // the library: UTF-8 master text → Windows-1251 with CR LF
        std::string text = readFile(src + "/Objects.ini.txt"), out;
        for (char c : text) {
            if (c == '\r') continue;
            if (c == '\n') out += '\r';
            out += c;
        }
        writeFile(dist + "/Circuits/Objects.ini", dbf::codec::toCp1251(out));
        ElementLibrary lib(dist + "/Circuits/Objects.ini");

        writeFile(dist + "/wallpaper.jpg", encodeJpeg(wallpaper(kAreaWidth - 4, kAreaHeight - 4), 88));
        writeFile(background, encodeJpeg(wallpaper(250, 145), 80));

        const std::string list = dist + "/Circuits/ScmList.lst";
        fs::remove(list);
        for (const auto& t : devdata::deviceTypes()) {
            Scheme s;
            std::string description;
            switch (t.state) {
            case devdata::StateLayoutKind::Kesta:
                s = kesta(lib, t.code);
                description = "Четыре канала учета воды: объемы и веса импульсов";
                break;
            case devdata::StateLayoutKind::Oxel:
                s = oxel(lib, t.code);
                description = "Расходомер на трубопроводе: объем, расход, наработка";
                break;
            case devdata::StateLayoutKind::VexaK:
                s = oneSystem(lib, t.code);
                description = "Схема отопления, одна система: подача, обратка, подпитка";
                break;
            case devdata::StateLayoutKind::VexaP:
                s = twoSystems(lib, t.code, false);
                description = "Две системы через теплообменники: температуры, давления, объемы, расходы";
                break;
            case devdata::StateLayoutKind::VexaPM:
                s = twoSystems(lib, t.code, true);
                description = "Две системы через теплообменники: температуры, давления, объемы, массы";
                break;
            case devdata::StateLayoutKind::None:
                continue;
            }
            if (!preview.empty()) {
                fs::create_directories(preview);
                QImage img(kAreaWidth, kAreaHeight, QImage::Format_RGB32);
                QPainter p(&img);
                p.drawImage(QRect(2, 2, kAreaWidth - 4, kAreaHeight - 4),
                            wallpaper(kAreaWidth - 4, kAreaHeight - 4));
                // the preview shows the widest value of every field
                paintElements(p, s.area, [&t](const std::string& field) -> std::optional<std::string> {
                    return devdata::widestStateText(t.code, field);
                });
                p.end();
                img.save(QString::fromStdString(preview + "/S1_" + std::to_string(t.code) + ".png"));
            }
            checkLayout(s, t.code);
            const std::string dir = dist + "/Circuits/" + std::to_string(t.code);
            fs::create_directories(dir);
            saveSchemeFile(s, schemePath(dist, t.code, 1));
            writeSchemeDescription(list, t.code, 1, description);
            // the file must read back as it was written
            if (schemeText(loadSchemeFile(schemePath(dist, t.code, 1))) != schemeText(s))
                throw std::runtime_error("scheme of type " + std::to_string(t.code) + " does not read back");
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}

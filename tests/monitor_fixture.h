// Objects tables for the object monitor's tests and benchmark: a MAINDB in a folder with rows given by the
// fields the monitor shows.
#pragma once

#include "dbf/table.h"
#include "devdata/tables.h"

#include <string>
#include <vector>

namespace mervo::test {

struct MonitorObject {
    MonitorObject(int serial_ = 0, std::string address_ = {}, std::string state_ = "---", int errcode_ = 0,
                  bool autocon_ = true, std::string group_ = {}, std::string conDate_ = {},
                  std::string conTime_ = {})
        : serial(serial_), address(std::move(address_)), state(std::move(state_)), errcode(errcode_),
          autocon(autocon_), group(std::move(group_)), conDate(std::move(conDate_)),
          conTime(std::move(conTime_)) {}
    int serial;
    std::string address;
    std::string state;
    int errcode;
    bool autocon;
    std::string group;
    std::string conDate; // "dd.MM.yyyy" or empty
    std::string conTime;
};

inline void appendObject(dbf::Table& t, const MonitorObject& o) {
    t.append();
    t.setInt("DEVTYPE", 236);
    t.setInt("SERIALNUM", o.serial);
    t.setString("ADDRES", o.address);
    t.setInt("NETTYPE", 3);
    t.setString("STATE", o.state);
    t.setInt("ERRCODE", o.errcode);
    t.setString("CON_DATE", o.conDate);
    t.setString("CON_TIME", o.conTime);
    t.setBool("AUTOCON", o.autocon);
    t.setBool("ERR", false);
    t.setString("DESKRIPTION", o.group);
    t.post();
}

// Creates MAINDB in dir with the objects (NUM 1, 2, ... in this order), ordered by NUM, on the first row.
inline void makeObjectsTable(dbf::Table& t, const std::string& dir,
                             const std::vector<MonitorObject>& objects) {
    devdata::createObjectsTable(t, dir);
    t.beginBulk();
    for (const MonitorObject& o : objects)
        appendObject(t, o);
    t.endBulk();
    t.setIndexFieldNames("NUM");
    t.first();
}

// n objects in groups of about a dozen, every fifth one without a group, a mix of states and error codes.
inline std::vector<MonitorObject> sampleObjects(int n) {
    static const char* streets[] = {"Ленина", "Мира", "Садовая", "Заводская", "Победы", "Лесная"};
    static const char* groups[] = {"Котельная №1", "Котельная №2", "ЦТП Север", "ЦТП Юг"};
    std::vector<MonitorObject> out;
    for (int i = 0; i < n; ++i) {
        MonitorObject o;
        o.serial = 500 + (i * 37) % 1000;
        o.address = std::string(streets[i % 6]) + " " + std::to_string(i + 1);
        o.state = i % 7 == 3 ? "Нет связи" : (i % 4 == 0 ? "---" : "Норма");
        o.errcode = i % 9 == 2 ? 5 : (i % 11 == 6 ? 2 : 0);
        o.autocon = i % 8 != 5;
        o.group = i % 5 == 4 ? "" : groups[(i / 3) % 4];
        if (o.state != "---") {
            o.conDate = "0" + std::to_string(1 + i % 9) + ".03.2026";
            o.conTime = "12:3" + std::to_string(i % 10) + ":00";
        }
        out.push_back(o);
    }
    return out;
}

} // namespace mervo::test

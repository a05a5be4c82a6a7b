#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <nettle/sha2.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace devdata {

namespace {

constexpr const char* kDefaultShare = "../../share/mervo";
constexpr const char* kDefaultSite = "/var/lib/mervo";
constexpr const char* kSeededFolders[] = {"Circuits", "Patterns"};

std::string trim(std::string s) {
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::string normal(const fs::path& p) {
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string exeFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path(ec).string();
    return exe.parent_path().string();
}

} // namespace

Places resolvePlaces(const std::string& exeDir, const std::string& home) {
    Places p;
    p.programs = p.share = p.site = exeDir;
    const fs::path marker = fs::path(exeDir) / kInstallMarkerName;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(marker, ec))) return p;
    p.installed = true;
    std::string share = kDefaultShare, site = kDefaultSite;
    std::ifstream in(marker);
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
        if (value.empty()) continue;
        if (key == "share") share = value;
        if (key == "site") site = value;
    }
    const fs::path sharePath(share);
    p.share = normal(sharePath.is_absolute() ? sharePath : fs::path(exeDir) / sharePath);
    p.site = normal(home.empty() ? fs::path(site) : fs::absolute(home, ec));
    return p;
}

const Places& places() {
    static const Places resolved = [] {
        const char* home = std::getenv(kSiteEnv);
        return resolvePlaces(exeFolder(), home ? home : "");
    }();
    return resolved;
}

std::string siteDir() {
    return places().site;
}

std::string programFile(const std::string& folder, const std::string& name, const Places& p) {
    if (p.installed) {
        const std::string beside = joinPath(p.programs, name);
        std::error_code ec;
        if (fs::exists(beside, ec)) return beside;
    }
    return joinPath(folder, name);
}

std::string deliveredFile(const std::string& folder, const std::string& relative, const Places& p) {
    return joinPath(p.installed ? p.share : folder, relative);
}

std::optional<std::string> prepareSite(const Places& p) {
    if (!p.installed) return std::nullopt;
    ::umask(002);
    std::error_code ec;
    if (!fs::is_directory(p.site, ec)) fs::create_directories(p.site, ec);
    if (fs::is_directory(p.site, ec) && ::access(p.site.c_str(), W_OK | X_OK) == 0) return std::nullopt;

    std::string text = "Нет права записи в папку " + p.site + ".";
    const passwd* user = ::getpwuid(::geteuid());
    const std::string userName = user ? user->pw_name : std::to_string(::geteuid());
    struct stat st {};
    if (::stat(p.site.c_str(), &st) != 0) {
        text = "Нет папки " + p.site + " и ее нельзя создать: " + std::strerror(errno) +
               ". Переустановите программу или укажите другую папку в MERVO_HOME.";
        return text;
    }
    const group* g = ::getgrgid(st.st_gid);
    const std::string groupName = g ? g->gr_name : std::to_string(st.st_gid);
    bool member = st.st_gid == ::getegid();
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        member = member || groups[i] == st.st_gid;
    if (!member)
        text += " Пользователь " + userName + " не входит в группу " + groupName +
                ". Администратор добавляет его командой \"sudo adduser " + userName + " " + groupName +
                "\"; затем войдите в систему заново.";
    else
        text += " Права папки не дают группе " + groupName + " записывать в нее (нужно: chmod 2775 " +
                p.site + ").";
    return text;
}

// ---- seeding

namespace {

// sha256 of a file as 64 hex digits; empty when it cannot be read.
std::string fileSha256(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    sha256_ctx ctx;
    sha256_init(&ctx);
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        if (in.gcount() > 0) sha256_update(&ctx, size_t(in.gcount()), reinterpret_cast<const uint8_t*>(buf));
    }
    if (in.bad()) return {};
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

std::map<std::string, std::string> readRecord(const fs::path& path) {
    std::map<std::string, std::string> record;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 67 || line[64] != ' ') continue;
        std::string name = line.substr(66);
        if (!name.empty() && name.back() == '\r') name.pop_back();
        record[name] = line.substr(0, 64);
    }
    return record;
}

// Copies from over to (the delivered files are small): written beside it and renamed over it, with the mode
// of any new file (the delivered file's own read-only mode is not carried over).
bool copyOver(const fs::path& from, const fs::path& to, std::string& problem) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    std::ifstream in(from, std::ios::binary);
    const std::string bytes = in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
    if (!in.is_open() || in.bad() || !replaceFile(to.string(), bytes)) {
        problem = "Не удалось скопировать " + from.string() + " в " + to.string();
        return false;
    }
    return true;
}

} // namespace

std::vector<std::string> seedSite(const Places& p) {
    std::vector<std::string> problems;
    if (!p.installed) return problems;
    const fs::path site(p.site), share(p.share);
    // Two programs (or two operators) starting at once seed one after the other.
    const int folderLock = ::open(p.site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderLock >= 0) ::flock(folderLock, LOCK_EX);

    const fs::path recordPath = site / kSeedRecordName;
    std::map<std::string, std::string> record = readRecord(recordPath);
    const std::map<std::string, std::string> before = record;
    for (const char* top : kSeededFolders) {
        std::error_code ec;
        if (!fs::is_directory(share / top, ec)) continue;
        std::vector<std::string> names;
        for (auto it = fs::recursive_directory_iterator(share / top, ec); !ec && it != fs::end(it);
             it.increment(ec))
            if (it->is_regular_file(ec)) names.push_back(fs::relative(it->path(), share, ec).string());
        if (ec) problems.push_back("Не удалось прочитать " + (share / top).string() + ": " + ec.message());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const fs::path from = share / name, to = site / name;
            const std::string delivered = fileSha256(from);
            if (delivered.empty()) {
                problems.push_back("Не удалось прочитать " + from.string());
                continue;
            }
            const auto known = record.find(name);
            std::string problem;
            if (!fs::exists(fs::symlink_status(to, ec))) {
                // a copy once made and since removed was removed by the operator
                if (known != record.end()) continue;
                if (copyOver(from, to, problem))
                    record[name] = delivered;
                else
                    problems.push_back(problem);
                continue;
            }
            const std::string present = fileSha256(to);
            if (known == record.end()) {
                // a file of the operator's own under a delivered name; the same bytes count as a copy
                if (present == delivered) record[name] = delivered;
                continue;
            }
            if (present != known->second || present == delivered) continue; // edited, or up to date
            if (copyOver(from, to, problem))
                record[name] = delivered;
            else
                problems.push_back(problem);
        }
    }
    if (record != before) {
        std::string text;
        for (const auto& [name, sum] : record)
            text += sum + "  " + name + "\n";
        if (!replaceFile(recordPath.string(), text))
            problems.push_back("Не удалось записать " + recordPath.string());
    }
    if (folderLock >= 0) ::close(folderLock);
    return problems;
}

} // namespace devdata

#include "report/calc.h"

#include "devdata/settings.h"

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/sheet/FillDateMode.hpp>
#include <com/sun/star/sheet/FillDirection.hpp>
#include <com/sun/star/sheet/FillMode.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellSeries.hpp>
#include <com/sun/star/sheet/XNamedRange.hpp>
#include <com/sun/star/sheet/XNamedRanges.hpp>
#include <com/sun/star/sheet/XPrintAreas.hpp>
#include <com/sun/star/sheet/XSheetCellCursor.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/table/BorderLine2.hpp>
#include <com/sun/star/table/CellAddress.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/table/XTableRows.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/NumberFormat.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XMergeable.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <osl/file.hxx>
#include <rtl/ustring.hxx>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace com::sun::star;
using com::sun::star::uno::Any;
using com::sun::star::uno::Reference;
using com::sun::star::uno::Sequence;
using com::sun::star::uno::UNO_QUERY;
using com::sun::star::uno::UNO_QUERY_THROW;
using rtl::OString;
using rtl::OUString;

namespace zorbel::calc {

namespace {

constexpr const char* kProfilePrefix = "zorbel-office-";
constexpr const char* kProfileLock = "owner.lock";

OUString u(const std::string& s) {
    return OUString(s.data(), sal_Int32(s.size()), RTL_TEXTENCODING_UTF8);
}

std::string s8(const OUString& s) {
    OString o = OUStringToOString(s, RTL_TEXTENCODING_UTF8);
    return std::string(o.getStr(), size_t(o.getLength()));
}

std::string message(const uno::Exception& e) {
    std::string m = s8(e.Message);
    return m.empty() ? "ошибка LibreOffice" : m;
}

OUString fileUrl(const std::string& path) {
    std::string abs = std::filesystem::absolute(path).lexically_normal().string();
    OUString url;
    if (osl::FileBase::getFileURLFromSystemPath(u(abs), url) != osl::FileBase::E_None)
        throw Error("неверный путь " + path);
    return url;
}

beans::PropertyValue prop(const char* name, const Any& value) {
    beans::PropertyValue p;
    p.Name = OUString::createFromAscii(name);
    p.Value = value;
    return p;
}

Sequence<beans::PropertyValue> props(std::initializer_list<beans::PropertyValue> list) {
    Sequence<beans::PropertyValue> seq(sal_Int32(list.size()));
    sal_Int32 i = 0;
    for (const auto& p : list)
        seq.getArray()[i++] = p;
    return seq;
}

// The component context of this process, made once: the local side of the UNO bridge.
Reference<uno::XComponentContext> localContext() {
    static std::once_flag once;
    static Reference<uno::XComponentContext> ctx;
    static std::string failure;
    std::call_once(once, [] {
        ::setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:/usr/lib/libreoffice/program/fundamentalrc", 0);
        try {
            ctx = cppu::defaultBootstrap_InitialComponentContext();
        } catch (const uno::Exception& e) {
            failure = message(e);
        }
    });
    if (!ctx.is()) throw Error("UNO не запущен: " + failure);
    return ctx;
}

// "$A$1", "B12": column and row, 0-based.
bool parseCell(std::string ref, int& col, int& row) {
    std::string letters, digits;
    for (char c : ref) {
        if (c == '$') continue;
        if (std::isalpha(static_cast<unsigned char>(c)) && digits.empty())
            letters += char(std::toupper(static_cast<unsigned char>(c)));
        else if (std::isdigit(static_cast<unsigned char>(c)))
            digits += c;
        else
            return false;
    }
    if (letters.empty() || digits.empty() || letters.size() > 3) return false;
    col = 0;
    for (char c : letters)
        col = col * 26 + (c - 'A' + 1);
    col -= 1;
    row = std::stoi(digits) - 1;
    return row >= 0;
}

std::string columnName(int col) {
    std::string s;
    for (++col; col > 0; col = (col - 1) / 26)
        s.insert(s.begin(), char('A' + (col - 1) % 26));
    return s;
}

// Splits "$'Sheet 1'.$A$1" into sheet "Sheet 1" and "$A$1".
void splitSheet(const std::string& ref, std::string& sheet, std::string& cell) {
    size_t dot = std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < ref.size(); ++i) {
        if (ref[i] == '\'') quoted = !quoted;
        if (ref[i] == '.' && !quoted) dot = i;
    }
    if (dot == std::string::npos) {
        sheet.clear();
        cell = ref;
        return;
    }
    sheet = ref.substr(0, dot);
    cell = ref.substr(dot + 1);
    if (!sheet.empty() && sheet[0] == '$') sheet = sheet.substr(1);
    if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
        std::string t;
        for (size_t i = 1; i + 1 < sheet.size(); ++i) {
            t += sheet[i];
            if (sheet[i] == '\'' && i + 2 < sheet.size() && sheet[i + 1] == '\'') ++i;
        }
        sheet = t;
    }
}

std::string quoteSheet(const std::string& name) {
    std::string q = "$'";
    for (char c : name) {
        q += c;
        if (c == '\'') q += '\'';
    }
    return q + "'";
}

} // namespace

// ------------------------------------------------------------------------------------------------ Office

struct Office::Impl {
    std::string program;
    std::string profileDir;
    int lockFd = -1; // the profile folder's lock, held while the office lives
    std::string pipeName;
    pid_t pid = 0;
    std::atomic<pid_t> signalPid{0}; // the process group abort() signals, readable from any thread
    int exitCode = -1;               // of the last process once it ended
    Reference<uno::XComponentContext> remote;
    Reference<frame::XDesktop2> desktop;

    bool alive() {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            signalPid = 0;
            pid = 0;
            return false;
        }
        return true;
    }

    // A new profile folder, made by mkdtemp in the user's private temporary folder and marked as this
    // program's by a lock held as long as the office lives, and a new pipe name. Profile folders of copies of
    // the program that ended without removing theirs are removed first.
    void prepare() {
        static std::atomic<int> counter{0};
        dropProfile();
        const std::string base = devdata::privateTempDir();
        if (base.empty()) throw Error("нет личной временной папки для LibreOffice");
        Office::removeStaleProfiles(base);
        std::string tmpl = base + "/" + kProfilePrefix + std::to_string(::getpid()) + "-XXXXXX";
        if (!::mkdtemp(tmpl.data())) throw Error("не создается папка профиля LibreOffice в " + base);
        profileDir = tmpl;
        lockFd = ::open((profileDir + "/" + kProfileLock).c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            dropProfile();
            throw Error("не создается папка профиля LibreOffice в " + base);
        }
        pipeName = "zorbel_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
                   profileDir.substr(profileDir.size() - 6);
    }

    // Removes the profile folder and gives up its lock.
    void dropProfile() {
        if (!profileDir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(profileDir, ec);
            profileDir.clear();
        }
        if (lockFd >= 0) ::close(lockFd);
        lockFd = -1;
    }

    void spawn() {
        std::vector<std::string> args = {program,
                                         "--headless",
                                         "--invisible",
                                         "--nologo",
                                         "--norestore",
                                         "--nodefault",
                                         "--nolockcheck",
                                         "-env:UserInstallation=" + s8(fileUrl(profileDir)),
                                         "--accept=pipe,name=" + pipeName +
                                             ";urp;StarOffice.ComponentContext"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        // fork and exec rather than posix_spawn: the child asks to be ended with this program
        // (PR_SET_PDEATHSIG), so that no office stays behind when the program is killed. The signal comes
        // when the launching thread ends, so it is asked for only when that is the program's main thread.
        const pid_t parent = ::getpid();
        const bool mainThread = ::gettid() == parent;
        pid_t child = ::fork();
        if (child == 0) {
            ::setpgid(0, 0); // its own process group, so that all of it ends together
            if (mainThread) ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (child < 0) throw Error("LibreOffice не запускается: " + program);
        pid = child;
        signalPid = child;
        exitCode = -1;
    }

    void killGroup() {
        if (pid <= 0) return;
        ::kill(-pid, SIGTERM);
        ::kill(-pid, SIGCONT); // a stopped office takes the signal too
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = 0;
        }
        signalPid = 0;
    }
};

std::string Office::defaultProgram() {
    if (const char* p = std::getenv("ZORBEL_SOFFICE")) return p;
    // the office process itself, not the launcher script: then the process started is the one to end
    return "/usr/lib/libreoffice/program/soffice.bin";
}

Office::Office(std::string program) : d(std::make_unique<Impl>()) {
    d->program = std::move(program);
}

Office::~Office() {
    stop();
}

int Office::pid() const {
    return d->pid;
}

bool Office::running() const {
    return d->desktop.is() && d->alive();
}

void Office::launch() {
    std::lock_guard lock(mutex_);
    if (d->pid > 0 && d->alive()) return;
    d->desktop.clear();
    d->remote.clear();
    d->killGroup();
    if (d->program.empty() || ::access(d->program.c_str(), X_OK) != 0)
        throw Error("LibreOffice не найден: " + d->program);
    d->prepare();
    d->spawn();
}

void Office::start(int timeoutMs) {
    std::lock_guard lock(mutex_);
    if (d->desktop.is() && d->alive()) return;
    if (d->desktop.is() || !(d->pid > 0 && d->alive())) {
        d->desktop.clear();
        launch();
    }
    Reference<uno::XComponentContext> local = localContext();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const OUString url = u("uno:pipe,name=" + d->pipeName + ";urp;StarOffice.ComponentContext");
    int restarts = 0;
    try {
        Reference<bridge::XUnoUrlResolver> resolver = bridge::UnoUrlResolver::create(local);
        for (;;) {
            try {
                d->remote.set(resolver->resolve(url), UNO_QUERY_THROW);
                break;
            } catch (const connection::NoConnectException&) {
                if (!d->alive()) {
                    // a new profile makes the office ask for a restart (exit codes 79 and 81)
                    if ((d->exitCode == 79 || d->exitCode == 81) && restarts++ < 3) {
                        d->spawn();
                        continue;
                    }
                    throw Error("LibreOffice завершился при запуске");
                }
                if (std::chrono::steady_clock::now() > deadline) throw Error("LibreOffice не отвечает");
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        d->desktop = frame::Desktop::create(d->remote);
    } catch (const uno::Exception& e) {
        d->killGroup();
        throw Error(message(e));
    } catch (...) {
        d->killGroup();
        throw;
    }
}

void Office::stop() {
    std::lock_guard lock(mutex_);
    if (d->desktop.is()) {
        try {
            d->desktop->terminate();
        } catch (const uno::Exception&) {
            // the bridge goes down with the process; what matters is that the process ends
        }
        d->desktop.clear();
        d->remote.clear();
        for (int i = 0; i < 250 && d->pid > 0; ++i) {
            if (::waitpid(d->pid, nullptr, WNOHANG) == d->pid)
                d->pid = 0;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    d->killGroup();
    d->dropProfile();
}

void Office::abort(bool hard) {
    const pid_t p = d->signalPid;
    if (p <= 0) return;
    ::kill(-p, hard ? SIGKILL : SIGTERM);
    ::kill(-p, SIGCONT);
}

std::string Office::profileDir() const {
    return d->profileDir;
}

int Office::removeStaleProfiles(const std::string& baseDir) {
    namespace fs = std::filesystem;
    const std::string base = baseDir.empty() ? devdata::privateTempDir() : baseDir;
    if (base.empty()) return 0;
    // the user's own private folders: the given one, and those other runs made beside it in the system's
    // temporary folder when there is no runtime folder
    std::vector<fs::path> places = {base};
    std::error_code ec;
    const fs::path tmp = fs::temp_directory_path(ec);
    if (!ec)
        for (const auto& e : fs::directory_iterator(tmp, ec)) {
            struct stat st {};
            const std::string name = e.path().filename().string();
            if (name.rfind("mervo-", 0) == 0 && name.size() == 12 && e.path() != fs::path(base) &&
                ::lstat(e.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
                (st.st_mode & 0777) == 0700)
                places.push_back(e.path());
        }
    int removed = 0;
    for (const fs::path& place : places)
        for (const auto& e : fs::directory_iterator(place, ec)) {
            if (e.path().filename().string().rfind(kProfilePrefix, 0) != 0) continue;
            struct stat st {};
            if (::lstat(e.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
            // the owner holds the lock as long as it lives; a folder without a lock is one a program
            // ended in while making it, unless that is just now
            bool stale = false;
            int fd = ::open((e.path() / kProfileLock).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd >= 0) {
                stale = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
                ::close(fd);
            } else {
                stale = ::time(nullptr) - st.st_mtime > 120;
            }
            if (!stale) continue;
            std::error_code ignored;
            fs::remove_all(e.path(), ignored);
            ++removed;
        }
    return removed;
}

// ---------------------------------------------------------------------------------------------- Workbook

struct Workbook::Impl {
    Reference<lang::XComponent> doc;
    Reference<sheet::XSpreadsheet> sheet;
    std::string sheetName;

    Reference<table::XCell> cell(int col, int row) { return sheet->getCellByPosition(col, row); }
    Reference<table::XCellRange> range(const Area& a) {
        return sheet->getCellRangeByPosition(a.col1, a.row1, a.col2, a.row2);
    }
    void fail(const uno::Exception& e) { throw Error(message(e)); }

    // The key of a format code in the document's locale, added to the document when it lacks it. A code
    // the locale's keywords do not read is taken in English.
    sal_Int32 formatKey(const Reference<util::XNumberFormats>& formats, const std::string& code) {
        lang::Locale locale;
        Reference<beans::XPropertySet>(doc, UNO_QUERY_THROW)->getPropertyValue("CharLocale") >>= locale;
        try {
            sal_Int32 key = formats->queryKey(u(code), locale, false);
            return key >= 0 ? key : formats->addNew(u(code), locale);
        } catch (const uno::Exception&) {
            lang::Locale english("en", "US", "");
            sal_Int32 key = formats->queryKey(u(code), english, false);
            return key >= 0 ? key : formats->addNew(u(code), english);
        }
    }

    // Gives the cells the format code when the first of them has the General format; a format the
    // template chose stays.
    void formatIfGeneral(const Reference<table::XCellRange>& cells, const std::string& code) {
        Reference<util::XNumberFormatsSupplier> sup(doc, UNO_QUERY_THROW);
        Reference<util::XNumberFormats> formats = sup->getNumberFormats();
        sal_Int32 key = 0;
        Reference<beans::XPropertySet>(cells->getCellByPosition(0, 0), UNO_QUERY_THROW)
            ->getPropertyValue("NumberFormat") >>= key;
        Reference<beans::XPropertySet> current = formats->getByKey(key);
        sal_Int16 type = 0;
        bool standard = false;
        current->getPropertyValue("Type") >>= type;
        current->getPropertyValue("StandardFormat") >>= standard;
        type &= sal_Int16(~util::NumberFormat::DEFINED);
        const bool general =
            standard && (type == util::NumberFormat::NUMBER || type == util::NumberFormat::ALL ||
                         type == util::NumberFormat::UNDEFINED);
        if (!general) return;
        Reference<beans::XPropertySet>(cells, UNO_QUERY_THROW)
            ->setPropertyValue("NumberFormat", Any(formatKey(formats, code)));
    }
};

namespace {

std::unique_ptr<Workbook::Impl> loadDoc(const Reference<frame::XDesktop2>& desktop, const OUString& url,
                                        Sequence<beans::PropertyValue> args) {
    auto impl = std::make_unique<Workbook::Impl>();
    Reference<frame::XComponentLoader> loader(desktop, UNO_QUERY_THROW);
    impl->doc = loader->loadComponentFromURL(url, "_blank", 0, args);
    Reference<sheet::XSpreadsheetDocument> sdoc(impl->doc, UNO_QUERY);
    if (!sdoc.is()) {
        if (impl->doc.is()) impl->doc->dispose();
        throw Error("не книга электронной таблицы");
    }
    Reference<container::XIndexAccess> sheets(sdoc->getSheets(), UNO_QUERY_THROW);
    if (sheets->getCount() < 1) throw Error("в книге нет листов");
    impl->sheet.set(sheets->getByIndex(0), UNO_QUERY_THROW);
    impl->sheetName = s8(Reference<container::XNamed>(impl->sheet, UNO_QUERY_THROW)->getName());
    return impl;
}

} // namespace

std::unique_ptr<Workbook> Office::open(const std::string& path, bool asTemplate, bool readOnly) {
    std::lock_guard lock(mutex_);
    if (!d->desktop.is()) throw Error("LibreOffice не запущен");
    if (!std::filesystem::exists(path)) throw Error("нет файла " + path);
    try {
        Sequence<beans::PropertyValue> args =
            props({prop("Hidden", Any(true)), prop("AsTemplate", Any(asTemplate)),
                   prop("ReadOnly", Any(readOnly))});
        return std::make_unique<Workbook>(loadDoc(d->desktop, fileUrl(path), args));
    } catch (const uno::Exception& e) {
        throw Error(message(e));
    }
}

std::unique_ptr<Workbook> Office::create() {
    std::lock_guard lock(mutex_);
    if (!d->desktop.is()) throw Error("LibreOffice не запущен");
    try {
        Sequence<beans::PropertyValue> args = props({prop("Hidden", Any(true))});
        return std::make_unique<Workbook>(loadDoc(d->desktop, "private:factory/scalc", args));
    } catch (const uno::Exception& e) {
        throw Error(message(e));
    }
}

Workbook::Workbook(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

Workbook::~Workbook() {
    try {
        close();
    } catch (...) {
    }
}

void Workbook::close() {
    if (!d->doc.is()) return;
    Reference<lang::XComponent> doc = d->doc;
    d->doc.clear();
    d->sheet.clear();
    try {
        Reference<util::XCloseable> c(doc, UNO_QUERY);
        if (c.is())
            c->close(true);
        else
            doc->dispose();
    } catch (const uno::Exception& e) {
        throw Error(message(e));
    }
}

std::vector<Area> Workbook::namedRange(const std::string& name) {
    std::vector<Area> out;
    try {
        Reference<beans::XPropertySet> props(d->doc, UNO_QUERY_THROW);
        Reference<sheet::XNamedRanges> names(props->getPropertyValue("NamedRanges"), UNO_QUERY_THROW);
        // workbook names compare without regard to letter case, as in the spreadsheet itself
        OUString found;
        for (const OUString& n : names->getElementNames())
            if (n.equalsIgnoreAsciiCase(u(name))) found = n;
        if (found.isEmpty()) return out;
        Reference<sheet::XNamedRange> nr(names->getByName(found), UNO_QUERY_THROW);
        std::string content = s8(nr->getContent());
        std::string part;
        auto flush = [&] {
            std::string p;
            for (char c : part)
                if (c != '(' && c != ')' && c != ' ') p += c;
            part.clear();
            if (p.empty()) return;
            size_t colon = std::string::npos;
            bool quoted = false;
            for (size_t i = 0; i < p.size(); ++i) {
                if (p[i] == '\'') quoted = !quoted;
                if (p[i] == ':' && !quoted) colon = i;
            }
            std::string a = colon == std::string::npos ? p : p.substr(0, colon);
            std::string b = colon == std::string::npos ? p : p.substr(colon + 1);
            std::string sa, ca, sb, cb;
            splitSheet(a, sa, ca);
            splitSheet(b, sb, cb);
            if (sb.empty()) sb = sa;
            if ((!sa.empty() && sa != d->sheetName) || (!sb.empty() && sb != d->sheetName)) return;
            Area ar;
            if (!parseCell(ca, ar.col1, ar.row1) || !parseCell(cb, ar.col2, ar.row2)) return;
            if (ar.col2 < ar.col1) std::swap(ar.col1, ar.col2);
            if (ar.row2 < ar.row1) std::swap(ar.row1, ar.row2);
            out.push_back(ar);
        };
        bool quoted = false;
        for (char c : content) {
            if (c == '\'') quoted = !quoted;
            if (!quoted && (c == ';' || c == '~' || c == ',')) {
                flush();
                continue;
            }
            part += c;
        }
        flush();
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
    return out;
}

void Workbook::addName(const std::string& name, const std::vector<Area>& areas) {
    std::string content;
    for (const Area& a : areas) {
        if (!content.empty()) content += "~";
        content += quoteSheet(d->sheetName) + ".$" + columnName(a.col1) + "$" + std::to_string(a.row1 + 1);
        if (a.col2 != a.col1 || a.row2 != a.row1)
            content += ":$" + columnName(a.col2) + "$" + std::to_string(a.row2 + 1);
    }
    try {
        Reference<beans::XPropertySet> props(d->doc, UNO_QUERY_THROW);
        Reference<sheet::XNamedRanges> names(props->getPropertyValue("NamedRanges"), UNO_QUERY_THROW);
        names->addNewByName(u(name), u(content), table::CellAddress(0, 0, 0), 0);
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

std::string Workbook::formula(int col, int row) {
    try {
        return s8(d->cell(col, row)->getFormula());
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
    return {};
}

std::string Workbook::display(int col, int row) {
    try {
        return s8(Reference<text::XTextRange>(d->cell(col, row), UNO_QUERY_THROW)->getString());
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
    return {};
}

void Workbook::setValue(int col, int row, const CellValue& v) {
    try {
        Reference<table::XCell> c = d->cell(col, row);
        switch (v.kind) {
        case CellValue::Kind::Number:
            c->setValue(v.number);
            if (!v.format.empty())
                d->formatIfGeneral(Reference<table::XCellRange>(c, UNO_QUERY_THROW), v.format);
            break;
        case CellValue::Kind::Text:
            Reference<text::XTextRange>(c, UNO_QUERY_THROW)->setString(u(v.text));
            break;
        case CellValue::Kind::Empty:
            c->setFormula(OUString());
            break;
        }
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setFormula(int col, int row, const std::string& text) {
    try {
        d->cell(col, row)->setFormula(u(text));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::replicateRow(int source, int before, int count) {
    if (count <= 0) return;
    try {
        Reference<table::XColumnRowRange> crr(d->sheet, UNO_QUERY_THROW);
        crr->getRows()->insertByIndex(before, count);
        // the used area's last column bounds the copy
        Reference<sheet::XSheetCellCursor> cursor = d->sheet->createCursor();
        Reference<sheet::XUsedAreaCursor>(cursor, UNO_QUERY_THROW)->gotoEndOfUsedArea(false);
        int lastCol =
            Reference<sheet::XCellRangeAddressable>(cursor, UNO_QUERY_THROW)->getRangeAddress().EndColumn;
        Reference<table::XCellRange> src = d->sheet->getCellRangeByPosition(0, source, lastCol, source);
        Reference<table::XCellRange> block =
            d->sheet->getCellRangeByPosition(0, before, lastCol, before + count - 1);
        if (before == source + 1) {
            Reference<table::XCellRange> all =
                d->sheet->getCellRangeByPosition(0, source, lastCol, before + count - 1);
            Reference<sheet::XCellSeries>(all, UNO_QUERY_THROW)
                ->fillSeries(sheet::FillDirection_TO_BOTTOM, sheet::FillMode_SIMPLE,
                             sheet::FillDateMode_FILL_DATE_DAY, 0.0, 0x7fffffff);
        }
        // the new rows take the template row's height
        Reference<beans::XPropertySet> srcRow(
            Reference<table::XColumnRowRange>(src, UNO_QUERY_THROW)->getRows(), UNO_QUERY_THROW);
        Reference<beans::XPropertySet> newRows(
            Reference<table::XColumnRowRange>(block, UNO_QUERY_THROW)->getRows(), UNO_QUERY_THROW);
        newRows->setPropertyValue("Height", srcRow->getPropertyValue("Height"));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setBlock(int col, int row, const std::vector<std::vector<CellValue>>& block) {
    if (block.empty() || block[0].empty()) return;
    const int rows = int(block.size()), cols = int(block[0].size());
    try {
        Sequence<Sequence<Any>> data(rows);
        auto* rowsPtr = data.getArray();
        for (int i = 0; i < rows; ++i) {
            Sequence<Any> line(cols);
            auto* p = line.getArray();
            for (int j = 0; j < cols; ++j) {
                const CellValue& v = block[size_t(i)][size_t(j)];
                if (v.kind == CellValue::Kind::Number)
                    p[j] <<= v.number;
                else if (v.kind == CellValue::Kind::Text)
                    p[j] <<= u(v.text);
                else
                    p[j] <<= OUString();
            }
            rowsPtr[i] = line;
        }
        Reference<sheet::XCellRangeData> target(
            d->sheet->getCellRangeByPosition(col, row, col + cols - 1, row + rows - 1), UNO_QUERY_THROW);
        target->setDataArray(data);
        // a date column (its rows all copied from the template line) takes the date format in a General cell
        for (int j = 0; j < cols; ++j) {
            std::string code;
            for (int i = 0; i < rows && code.empty(); ++i)
                code = block[size_t(i)][size_t(j)].format;
            if (!code.empty())
                d->formatIfGeneral(d->sheet->getCellRangeByPosition(col + j, row, col + j, row + rows - 1),
                                   code);
        }
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setNumberFormat(const Area& a, const std::string& code) {
    try {
        Reference<util::XNumberFormatsSupplier> sup(d->doc, UNO_QUERY_THROW);
        Reference<util::XNumberFormats> formats = sup->getNumberFormats();
        lang::Locale locale;
        sal_Int32 key = formats->queryKey(u(code), locale, false);
        if (key < 0) key = formats->addNew(u(code), locale);
        Reference<beans::XPropertySet>(d->range(a), UNO_QUERY_THROW)
            ->setPropertyValue("NumberFormat", Any(key));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setBold(const Area& a, bool bold) {
    try {
        Reference<beans::XPropertySet>(d->range(a), UNO_QUERY_THROW)
            ->setPropertyValue("CharWeight", Any(float(bold ? 150.0 : 100.0)));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setWrapped(const Area& a) {
    try {
        Reference<beans::XPropertySet>(d->range(a), UNO_QUERY_THROW)
            ->setPropertyValue("IsTextWrapped", Any(true));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setFontHeight(const Area& a, double points) {
    try {
        Reference<beans::XPropertySet>(d->range(a), UNO_QUERY_THROW)
            ->setPropertyValue("CharHeight", Any(float(points)));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setFrame(const Area& a) {
    try {
        table::BorderLine2 line;
        line.Color = 0;
        line.OuterLineWidth = 18;
        line.LineWidth = 18;
        for (int r = a.row1; r <= a.row2; ++r)
            for (int c = a.col1; c <= a.col2; ++c) {
                Reference<beans::XPropertySet> p(d->cell(c, r), UNO_QUERY_THROW);
                for (const char* side : {"TopBorder", "BottomBorder", "LeftBorder", "RightBorder"})
                    p->setPropertyValue(OUString::createFromAscii(side), Any(line));
            }
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setMerged(const Area& a) {
    try {
        Reference<util::XMergeable>(d->range(a), UNO_QUERY_THROW)->merge(true);
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setColumnWidth(int col, int width) {
    try {
        Reference<table::XColumnRowRange> crr(d->sheet, UNO_QUERY_THROW);
        Reference<beans::XPropertySet> c(crr->getColumns()->getByIndex(col), UNO_QUERY_THROW);
        c->setPropertyValue("Width", Any(sal_Int32(width)));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setSheetName(const std::string& name) {
    try {
        Reference<container::XNamed>(d->sheet, UNO_QUERY_THROW)->setName(u(name));
        d->sheetName = name;
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::fitToPageWidth() {
    try {
        OUString styleName;
        Reference<beans::XPropertySet>(d->sheet, UNO_QUERY_THROW)->getPropertyValue("PageStyle") >>=
            styleName;
        Reference<style::XStyleFamiliesSupplier> sup(d->doc, UNO_QUERY_THROW);
        Reference<container::XNameAccess> pages(sup->getStyleFamilies()->getByName("PageStyles"),
                                                UNO_QUERY_THROW);
        Reference<beans::XPropertySet> style(pages->getByName(styleName), UNO_QUERY_THROW);
        style->setPropertyValue("ScaleToPagesX", Any(sal_Int16(1)));
        style->setPropertyValue("ScaleToPagesY", Any(sal_Int16(0)));
        // no page header or footer with the sheet name and page number: the template carries its own
        style->setPropertyValue("HeaderIsOn", Any(false));
        style->setPropertyValue("FooterIsOn", Any(false));
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::setPrintTitleRows(int first, int last) {
    try {
        Reference<sheet::XPrintAreas> areas(d->sheet, UNO_QUERY_THROW);
        table::CellRangeAddress rows;
        rows.Sheet = 0;
        rows.StartColumn = 0;
        rows.EndColumn = 0;
        rows.StartRow = first;
        rows.EndRow = last;
        areas->setTitleRows(rows);
        areas->setPrintTitleRows(true);
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::saveXls(const std::string& path) {
    try {
        Reference<frame::XStorable> st(d->doc, UNO_QUERY_THROW);
        Sequence<beans::PropertyValue> args =
            props({prop("FilterName", Any(u("MS Excel 97"))), prop("Overwrite", Any(true))});
        st->storeToURL(fileUrl(path), args);
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

std::string Workbook::filterFor(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".xlsx") return "Calc MS Excel 2007 XML";
    if (ext == ".ods") return "calc8";
    if (ext == ".xls") return "MS Excel 97";
    return {};
}

void Workbook::saveAs(const std::string& path) {
    const std::string filter = filterFor(path);
    if (filter.empty()) throw Error("неизвестный формат файла " + path);
    try {
        Reference<frame::XStorable> st(d->doc, UNO_QUERY_THROW);
        Sequence<beans::PropertyValue> args =
            props({prop("FilterName", Any(u(filter))), prop("Overwrite", Any(true))});
        st->storeToURL(fileUrl(path), args);
    } catch (const uno::Exception& e) {
        d->fail(e);
    }
}

void Workbook::exportFirstSheetPdf(const std::string& path) {
    // The other sheets are hidden while the document is exported (and shown again after): a sheet given to
    // the export as its selection would lose its print title rows, the column headings on every page.
    std::vector<Reference<beans::XPropertySet>> hidden;
    auto showAgain = [&] {
        for (const auto& p : hidden)
            p->setPropertyValue("IsVisible", Any(true));
        hidden.clear();
    };
    try {
        Reference<container::XIndexAccess> sheets(
            Reference<sheet::XSpreadsheetDocument>(d->doc, UNO_QUERY_THROW)->getSheets(), UNO_QUERY_THROW);
        for (sal_Int32 i = 1; i < sheets->getCount(); ++i) {
            Reference<beans::XPropertySet> p(sheets->getByIndex(i), UNO_QUERY_THROW);
            bool visible = false;
            p->getPropertyValue("IsVisible") >>= visible;
            if (!visible) continue;
            p->setPropertyValue("IsVisible", Any(false));
            hidden.push_back(p);
        }
        Reference<frame::XStorable> st(d->doc, UNO_QUERY_THROW);
        Sequence<beans::PropertyValue> args =
            props({prop("FilterName", Any(u("calc_pdf_Export"))), prop("Overwrite", Any(true))});
        st->storeToURL(fileUrl(path), args);
        showAgain();
    } catch (const uno::Exception& e) {
        try {
            showAgain();
        } catch (const uno::Exception&) {
        }
        d->fail(e);
    }
}

} // namespace zorbel::calc

// Where the suite's files are. Run from its build folder, the suite keeps everything in the folder of its
// executable. An installed suite is told by the file "mervo.install" that the installation writes beside the
// executables; it then keeps three places apart:
//  - the programs started by path (Zorbel.dll, Tolvan.dll, ...): beside the executable;
//  - the delivered read-only files (HELP, wallpaper.jpg, the delivered Circuits and Patterns): the share
//  folder
//    the marker names, relative to the marker's folder (so an unpacked tree works as well as /usr);
//  - everything the programs write (Log/, ErrorLog.log, log.txt, settings.ini, the settings store, the
//  operator's
//    Circuits/ and Patterns/, Reports/, the default DATA): the site folder, shared by the operators of all
//    shifts; $MERVO_HOME overrides the one the marker names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace devdata {

inline constexpr const char* kInstallMarkerName = "mervo.install";
inline constexpr const char* kSiteEnv = "MERVO_HOME";
// The settings store of an installed suite, in the site folder.
inline constexpr const char* kSiteStoreName = "registry.ini";

struct Places {
    bool installed = false;
    std::string programs; // the folder of the executables
    std::string share;    // delivered read-only files
    std::string site;     // the files the programs write
};

// The places of a suite whose executable lies in exeDir; home is $MERVO_HOME (empty when unset). Without the
// marker all three are exeDir. A marker that cannot be read, or that names no site folder, throws dbf::Error.
Places resolvePlaces(const std::string& exeDir, const std::string& home);

// The places of this process, resolved once from /proc/self/exe and $MERVO_HOME. A broken marker is reported
// on standard error and the build-folder places are used.
const Places& places();

// The folder the windows and the poll run are given as theirs: the site folder of an installed suite, the
// program folder otherwise.
std::string siteDir();

// A program started by path: beside the executable of an installed suite and then in `folder` (a site may add
// one of its own there); in `folder` alone otherwise, as it always was. The first path that exists, else the
// path in `folder`.
std::string programFile(const std::string& folder, const std::string& name, const Places& p = places());

// A delivered read-only file or folder (relative path): in the share folder of an installed suite, in
// `folder` otherwise.
std::string deliveredFile(const std::string& folder, const std::string& relative, const Places& p = places());

// Prepares the site folder of an installed suite for this process: sets the umask to 002 so the next shift
// can write what this one makes, creates the folder when $MERVO_HOME names a missing one, and checks that
// this user may write there. Returns the one message for the operator when not (nothing else should then be
// written); nullopt when all is well or the suite runs from its build folder.
std::optional<std::string> prepareSite(const Places& p = places());

// The seeding of the site folder from the share folder: for each of the delivered folders (Circuits,
// Patterns) every file missing in the site is copied; a copy whose checksum is still the one recorded when it
// was copied (nobody edited it) is replaced when the delivered file changed; an edited copy is never touched.
// The checksums are kept in "Delivered.sha256" in the site folder (the format of sha256sum). Returns the
// problems met (one line each); seeding goes on past a file it cannot copy.
inline constexpr const char* kSeedRecordName = "Delivered.sha256";
std::vector<std::string> seedSite(const Places& p);

} // namespace devdata

// The project's own second stage: the setup program that the demo installer
// carries. Release engineers replace it with their own; this one shows what a
// second stage receives and does the part every second stage must do first:
// find the product archive inside the installer.
//
//   setup.exe --ferrolt-path="<installer>" --archive-resource-name="<name>"
//             --archive-resource-type="<type>" [arguments passed on ...]
//
// It opens the installer as a data file, finds the archive resource and checks
// the 7z signature. Exit codes:
//    0  the archive is there and is a 7z archive
//   20  a switch is missing, empty or given twice
//   21  the installer cannot be opened
//   22  the installer has no such archive resource
//   23  the resource is not a 7z archive
// Other arguments (those passed on from the installer's own command line) are
// accepted and ignored.
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT EXIT_ARCHIVE_OK = 0;
constexpr UINT EXIT_BAD_SWITCHES = 20;
constexpr UINT EXIT_INSTALLER_UNREADABLE = 21;
constexpr UINT EXIT_ARCHIVE_MISSING = 22;
constexpr UINT EXIT_NOT_7Z = 23;

const unsigned char SEVEN_ZIP_SIGNATURE[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

// The value after "<prefix>" when `argument` starts with it, else null.
const wchar_t* ValueOf(const wchar_t* argument, const wchar_t* prefix) {
    for (; *prefix != 0; ++prefix, ++argument) {
        if (*argument != *prefix) return nullptr;
    }
    return argument;
}

struct Switches {
    const wchar_t* installer = nullptr;
    const wchar_t* name = nullptr;
    const wchar_t* type = nullptr;
};

// Each switch once, with a value; CommandLineToArgvW has removed the quotes.
bool ReadSwitches(int count, wchar_t** arguments, Switches& switches) {
    struct Known {
        const wchar_t* prefix;
        const wchar_t** value;
    };
    const Known known[] = {{L"--ferrolt-path=", &switches.installer},
                           {L"--archive-resource-name=", &switches.name},
                           {L"--archive-resource-type=", &switches.type}};
    for (int i = 1; i < count; ++i) {
        for (const Known& k : known) {
            const wchar_t* value = ValueOf(arguments[i], k.prefix);
            if (value == nullptr) continue;
            if (*k.value != nullptr || *value == 0) return false;
            *k.value = value;
        }
    }
    return switches.installer != nullptr && switches.name != nullptr && switches.type != nullptr;
}

UINT CheckArchive(const Switches& switches) {
    // As a data file: nothing of the installer runs, and its resources are
    // read where they lie.
    HMODULE installer = LoadLibraryExW(switches.installer, nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (installer == nullptr) return EXIT_INSTALLER_UNREADABLE;

    UINT result = EXIT_ARCHIVE_MISSING;
    HRSRC found = FindResourceW(installer, switches.name, switches.type);
    HGLOBAL loaded = found ? LoadResource(installer, found) : nullptr;
    const auto* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    if (bytes != nullptr) {
        result = EXIT_ARCHIVE_OK;
        if (SizeofResource(installer, found) < sizeof(SEVEN_ZIP_SIGNATURE)) {
            result = EXIT_NOT_7Z;
        } else {
            for (unsigned i = 0; i < sizeof(SEVEN_ZIP_SIGNATURE); ++i) {
                if (bytes[i] != SEVEN_ZIP_SIGNATURE[i]) result = EXIT_NOT_7Z;
            }
        }
    }
    FreeLibrary(installer);
    return result;
}

}  // namespace

extern "C" [[noreturn]] void SecondStageEntry() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    Switches switches;
    UINT result = EXIT_BAD_SWITCHES;
    if (arguments != nullptr && ReadSwitches(count, arguments, switches)) {
        result = CheckArchive(switches);
    }
    if (arguments != nullptr) LocalFree(arguments);
    ExitProcess(result);
}

#include "acceptance/judging_elevation.h"

#include "acceptance/judging_support.h"

namespace kit {

namespace {

wchar_t Folded(wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit | 0x20) : unit; }

// ASCII letters in any case, as the file system compares these paths.
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    if (text == nullptr || prefix == nullptr) return false;
    for (; *prefix != 0; ++text, ++prefix) {
        if (Folded(*text) != Folded(*prefix)) return false;
    }
    return true;
}

bool EndsWith(const wchar_t* text, const wchar_t* ending) {
    const int units = Length(text);
    const int endingUnits = Length(ending);
    return text != nullptr && units >= endingUnits && Equal(text + units - endingUnits, ending);
}

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    return a != nullptr && b != nullptr && Length(a) == Length(b) && StartsWithNoCase(a, b);
}

// A 64-bit number written in decimal, the whole text; false otherwise.
bool ParseDecimal64(const wchar_t* text, uint64_t& value) {
    value = 0;
    if (text == nullptr || *text == 0) return false;
    for (; *text != 0; ++text) {
        if (*text < L'0' || *text > L'9') return false;
        value = value * 10 + static_cast<uint64_t>(*text - L'0');
    }
    return true;
}

// Each planted library under `prefix`loaded.<name> must be "no".
bool NoneLoaded(const Facts& facts, const wchar_t* prefix, const wchar_t* const* names, int count, const wchar_t* where,
                Verdict& verdict) {
    Text<64> key;
    for (int i = 0; i < count; ++i) {
        key.Clear();
        key.Add(prefix);
        key.Add(L"loaded.");
        const wchar_t* loaded = facts.Get(key.Get(), names[i]);
        if (loaded == nullptr) {
            Say(verdict, Status::Fail, L"whether the planted ", names[i], L" was loaded was not observed");
            return false;
        }
        if (!Equal(loaded, L"no")) {
            Say(verdict, Status::Fail, L"the planted ", names[i], where);
            return false;
        }
    }
    return true;
}

// The setup program's command line names `installer` with the path switch.
bool ToldTheInstaller(const Facts& facts, const wchar_t* prefix, const wchar_t* installer, Verdict& verdict) {
    static Text<4096> wanted;
    ComposeSetupCommand(facts.Get(prefix, L"scratch"), installer, L"", wanted);
    const wchar_t* seen = facts.Get(prefix, L"command-line");
    if (!Equal(seen, wanted.Get())) {
        Say(verdict, Status::Fail, L"setup got [", seen != nullptr ? seen : L"(not observed)", L"], expected [",
            wanted.Get());
        verdict.detail.Add(L"]");
        return false;
    }
    return true;
}

}  // namespace

const wchar_t* const ENVIRONMENT_PLANTED[] = {L"cabinet.dll", L"ntdll.dll"};
const int ENVIRONMENT_PLANTED_COUNT = sizeof(ENVIRONMENT_PLANTED) / sizeof(ENVIRONMENT_PLANTED[0]);
const wchar_t* const SYSTEM_NAMES[] = {L"cryptbase.dll", L"cryptsp.dll", L"bcrypt.dll",   L"sspicli.dll",
                                       L"profapi.dll",   L"userenv.dll", L"wldp.dll",     L"apphelp.dll",
                                       L"version.dll",   L"uxtheme.dll", L"dwmapi.dll",   L"comctl32.dll",
                                       L"propsys.dll",   L"cabinet.dll"};
const int SYSTEM_NAME_COUNT = sizeof(SYSTEM_NAMES) / sizeof(SYSTEM_NAMES[0]);

// WINDIR and SYSTEMROOT named a folder whose system32 holds libraries under
// the names of the two the stub takes from the system: neither may load, and
// the run is an ordinary one.
void JudgeEnvironmentSystemFolder(const Facts& facts, Verdict& verdict) {
    if (!NoneLoaded(facts, L"w.", ENVIRONMENT_PLANTED, ENVIRONMENT_PLANTED_COUNT, L" in the system32 of the folder WINDIR named was loaded",
                    verdict)) {
        return;
    }
    if (!Shown(facts, L"load-by-path", L"loaded",
               L"this platform does not load a planted library that a path names", verdict) ||
        !RanCleanly(facts, L"w.", 0, verdict)) {
        return;
    }
    Say(verdict, Status::Pass, L"WINDIR and SYSTEMROOT named ", facts.Get(L"w.windir"),
        L": the cabinet.dll and ntdll.dll planted in its system32 never loaded; the run went on as usual");
}

// Started through a junction to its folder, retargeted at a decoy the moment
// the scratch directory appeared: every setup program must run in the
// stub's own directory in the real folder and be told the real installer,
// and nothing of the stub's may reach the decoy.
void JudgeJunctionRetargeted(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"junction", L"link-only", L"this platform cannot show a directory junction kept apart from its target",
               verdict)) {
        return;
    }
    uint32_t junction = 0;
    uint32_t runs = 0;
    uint32_t watchError = 0;
    if (!facts.GetNumber(L"jr.", L"junction", junction)) {
        return Say(verdict, Status::Fail, L"the junction was not made (not observed)");
    }
    if (junction != 0) return SayNumber(verdict, Status::Fail, L"the kit could not make the junction: error ", junction);
    if (!facts.GetNumber(L"jr.", L"runs", runs) || !facts.GetNumber(L"jr.", L"watch-error", watchError)) {
        return Say(verdict, Status::Fail, L"the runs through the junction were not observed");
    }
    if (watchError != 0) {
        return SayNumber(verdict, Status::Fail, L"the kit could not watch the real folder (error ", watchError, L")");
    }
    uint32_t inTime = 0;
    Text<16> prefix;
    for (uint32_t i = 0; i < runs; ++i) {
        Numbered(prefix, L"jr.", i, L".");
        uint32_t error = 0;
        if (!facts.GetNumber(prefix.Get(), L"arm", error) || error != 0) {
            return SayNumber(verdict, Status::Fail, L"the kit could not point the junction back at the real folder: error ",
                             error);
        }
        if (!RanCleanly(facts, prefix.Get(), 0, verdict)) return;
        if (!ToldTheInstaller(facts, prefix.Get(), facts.Get(prefix.Get(), L"installer"), verdict)) return;
        const wchar_t* decoy = facts.Get(prefix.Get(), L"decoy");
        if (decoy == nullptr) return Say(verdict, Status::Fail, L"the decoy's directory was not listed");
        if (*decoy != 0 && !Equal(decoy, L"decoy.txt, version.dll") && !Equal(decoy, L"version.dll, decoy.txt")) {
            return Say(verdict, Status::Fail, L"the stub wrote into the decoy's directory: ", decoy);
        }
        if (!facts.GetNumber(prefix.Get(), L"retarget-error", error) || error != 0) {
            return SayNumber(verdict, Status::Fail, L"the kit could not retarget the junction: error ", error);
        }
        uint64_t retargetedAt = 0;
        uint64_t startedAt = 0;
        if (ParseDecimal64(facts.Get(prefix.Get(), L"retargeted-at"), retargetedAt) && retargetedAt != 0 &&
            ParseDecimal64(facts.Get(prefix.Get(), L"started-at"), startedAt) && retargetedAt < startedAt) {
            ++inTime;
        }
    }
    if (inTime == 0) {
        return Say(verdict, Status::Fail,
                   L"the junction was never retargeted before a setup program started, so nothing was tried");
    }
    Say(verdict, Status::Pass, L"over ");
    verdict.detail.AddDecimal(runs);
    verdict.detail.Add(L" runs through a junction, retargeted at a decoy ");
    verdict.detail.AddDecimal(inTime);
    verdict.detail.Add(L" times before the setup program started: each ran in the stub's own directory in the real "
                       L"folder and was told the real installer; nothing reached the decoy");
}

// The scratch directory as the setup command names it: what stands between
// its opening quote and "\\setup.exe\"".
bool ScratchOfCommand(const wchar_t* command, Text<1100>& scratch) {
    scratch.Clear();
    if (command == nullptr || *command != L'"') return false;
    const wchar_t SETUP[] = L"\\setup.exe\"";
    for (const wchar_t* at = command + 1; *at != 0; ++at) {
        if (StartsWith(at, SETUP)) return scratch.AddUnits(command + 1, static_cast<int>(at - (command + 1)));
    }
    return false;
}

// One run of the installer in "a." (`what` says how it was started): nothing
// reached "a", it ended with the setup program's code, the setup program was
// told the installer in "a." by its prefixed path and ran in a scratch
// directory there, and nothing was left.
bool RanFromTheDotFolder(const Facts& facts, const wchar_t* prefix, const wchar_t* what, Verdict& verdict) {
    const wchar_t* decoy = facts.Get(prefix, L"decoy");
    if (decoy == nullptr || *decoy != 0 || !Equal(facts.Get(prefix, L"decoy-installer"), L"yes")) {
        Say(verdict, Status::Fail, what, L": something reached \"a\": ",
            decoy == nullptr ? L"(not observed)" : *decoy != 0 ? decoy : L"its installer changed");
        return false;
    }
    uint32_t exitCode = 0;
    if (!facts.GetNumber(prefix, L"exit", exitCode)) {
        const wchar_t* error = facts.Get(prefix, L"start-error");
        Say(verdict, Status::Fail, what, L": the installer did not run (", error != nullptr ? error : L"not observed");
        verdict.detail.Add(L")");
        return false;
    }
    if (exitCode != 0) {
        Say(verdict, Status::Fail, what, L": exit code ");
        verdict.detail.AddHex(exitCode);
        verdict.detail.Add(L", expected 0x00000000");
        return false;
    }
    const wchar_t* installer = facts.Get(prefix, L"installer");
    const wchar_t* command = facts.Get(prefix, L"command-line");
    static Text<1100> scratch;
    static Text<4096> wanted;
    const bool named = ScratchOfCommand(command, scratch);
    ComposeSetupCommand(scratch.Get(), installer, L"", wanted);
    if (!StartsWith(installer, L"\\\\?\\") || !EndsWith(installer, L"\\a.\\installer.exe") || !named ||
        !IsScratchOf(scratch.Get(), installer) || !Equal(command, wanted.Get())) {
        Say(verdict, Status::Fail, what, L": setup got [", command != nullptr ? command : L"(not observed)");
        verdict.detail.Add(L"], not told the installer in \"a.\", ");
        verdict.detail.Add(installer != nullptr ? installer : L"(not observed)");
        verdict.detail.Add(L", nor run in a QX_XXXXX.tmp beside it");
        return false;
    }
    // The probe's own image names the same file, with the prefix or, where
    // the system gives a started program's path without it, in "a." still.
    static Text<1100> image;
    image.Clear();
    image.Add(scratch.Get());
    image.Add(L"\\setup.exe");
    const wchar_t* seen = facts.Get(prefix, L"image");
    if (!Equal(seen, image.Get()) && !Equal(seen, image.Get() + 4)) {
        Say(verdict, Status::Fail, what, L": the setup program ran as ", seen != nullptr ? seen : L"(not observed)");
        verdict.detail.Add(L", not as ");
        verdict.detail.Add(image.Get());
        return false;
    }
    const wchar_t* const LEFT[] = {L"left", L"top"};
    const wchar_t* const WHERE[] = {L": left in \"a.\": ", L": left beside \"a.\" and \"a\": "};
    for (int i = 0; i < 2; ++i) {
        const wchar_t* left = facts.Get(prefix, LEFT[i]);
        if (left == nullptr || *left != 0) {
            Say(verdict, Status::Fail, what, WHERE[i], left != nullptr ? left : L"(not observed)");
            return false;
        }
    }
    return true;
}

// A folder that holds an open file cannot be renamed, which pins every folder
// on the held installer's path: the platform shows it for a file held as the
// stub holds its own, and while the setup program runs neither the
// installer's folder nor the one above can be renamed.
void JudgeFolderOfHeldFilePinned(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"folder-of-open-file", L"pinned",
               L"this platform renames a folder that holds an open file", verdict) ||
        !RanCleanly(facts, L"f.", 0, verdict)) {
        return;
    }
    const wchar_t* const KEYS[] = {L"folder.rename", L"above.rename"};
    const wchar_t* const WHAT[] = {L"the installer's folder", L"the folder above the installer's"};
    for (int i = 0; i < 2; ++i) {
        uint32_t error = 0;
        if (!facts.GetNumber(L"f.", KEYS[i], error)) {
            return Say(verdict, Status::Fail, L"the rename of ", WHAT[i], L" was not observed");
        }
        if (error == 0) return Say(verdict, Status::Fail, WHAT[i], L" was renamed while the installer ran");
    }
    Say(verdict, Status::Pass, L"a folder holding a file held as the stub holds its own, and the folder above, "
                               L"could not be renamed; neither could the installer's folder or the one above while "
                               L"the setup program ran");
}

// The installer in a folder "a." (beside a folder "a" with a copy of it),
// started by its prefixed path and, where the platform makes junctions,
// through a junction to "a.": each run goes by "a." itself, the prefix kept,
// and nothing reaches "a".
void JudgeFolderEndingInADot(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"dot-folder", L"kept",
               L"this platform's own final path of a file in a folder \"a.\" does not name \"a.\"", verdict)) {
        return;
    }
    const wchar_t* const MADE[] = {L"folder", L"decoy-folder"};
    const wchar_t* const WHAT[] = {L"the folder \"a.\"", L"the folder \"a\" with a copy of the installer"};
    for (int i = 0; i < 2; ++i) {
        uint32_t error = 0;
        if (!facts.GetNumber(L"ad.", MADE[i], error)) {
            return Say(verdict, Status::Fail, L"the kit did not make ", WHAT[i], L" (not observed)");
        }
        if (error != 0) {
            Say(verdict, Status::Fail, L"the kit could not make ", WHAT[i], L": error ");
            verdict.detail.AddHex(error);
            return;
        }
    }
    if (!RanFromTheDotFolder(facts, L"ad.0.", L"by its prefixed path", verdict)) return;
    const bool junctions = Equal(facts.Get(L"platform.", L"junction"), L"link-only");
    uint32_t junction = 0;
    uint32_t runs = 0;
    if (junctions) {
        if (!facts.GetNumber(L"ad.", L"junction", junction) || junction != 0) {
            return SayNumber(verdict, Status::Fail, L"the kit could not make a junction to \"a.\": error ", junction);
        }
        if (!facts.GetNumber(L"ad.", L"runs", runs) || runs != 2) {
            return Say(verdict, Status::Fail, L"the run through the junction to \"a.\" was not observed");
        }
        if (!RanFromTheDotFolder(facts, L"ad.1.", L"through a junction", verdict)) return;
    }
    Say(verdict, Status::Pass, L"started by ", facts.Get(L"ad.0.", L"started"),
        junctions ? L" and through a junction to its folder" : L"");
    verdict.detail.Add(L": each time the setup program was told that path, its prefix kept, and ran in a "
                       L"QX_XXXXX.tmp in \"a.\"; the copy in \"a\" was never touched, and nothing was left");
    if (!junctions) verdict.detail.Add(L"; through a junction not shown (this platform makes none)");
}

// On a volume that keeps no ACLs, the scratch directory is made in the
// Windows folder's Temp with the protected descriptor, and goes with the run.
void JudgeNoAclVolume(const Facts& facts, Verdict& verdict) {
    const wchar_t* volume = facts.Get(L"v.volume");
    if (volume == nullptr) return Say(verdict, Status::Fail, L"no volume was looked for (not observed)");
    if (Equal(volume, L"none")) {
        const wchar_t* why = facts.Get(L"v.why");
        return Say(verdict, Status::NotShown, L"no volume without ACLs (FAT or exFAT) that the kit can write: ",
                   why != nullptr ? why : L"(not said)");
    }
    if (!Shown(facts, L"dacl", L"stored", L"this platform stores no DACL: the read-back is synthesised", verdict)) {
        return;
    }
    uint32_t exitCode = 0;
    if (!facts.GetNumber(L"v.", L"exit", exitCode)) {
        const wchar_t* error = facts.Get(L"v.", L"start-error");
        return Say(verdict, Status::Fail, L"the installer did not run (", error != nullptr ? error : L"not observed", L")");
    }
    if (exitCode != 0) return SayNumber(verdict, Status::Fail, L"exit code ", exitCode, L", expected 0x00000000");
    const wchar_t* temp = facts.Get(L"v.system-temp");
    const wchar_t* image = facts.Get(L"v.", L"image");
    if (image == nullptr) return Say(verdict, Status::Fail, L"the setup program never reported");
    static Text<1100> fake;
    fake.Clear();
    fake.Add(temp);
    fake.Add(L"\\installer.exe");
    if (temp == nullptr || !IsScratchOf(facts.Get(L"v.", L"scratch"), fake.Get())) {
        return Say(verdict, Status::Fail, L"the setup program ran as ", image, L", not in a QX_XXXXX.tmp in ",
                   temp != nullptr ? temp : L"(the system's Temp, not observed)");
    }
    const wchar_t* owner = facts.Get(L"v.token-owner");
    if (owner == nullptr) return Say(verdict, Status::Fail, L"the probe could not read its token's owner");
    const Entry entries[] = {
        {0, FILE_ALL_ACCESS, ADMINISTRATORS}, {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, ADMINISTRATORS},
        {0, FILE_ALL_ACCESS, LOCAL_SYSTEM},   {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, LOCAL_SYSTEM},
        {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, CREATOR_OWNER}, {0, FILE_ALL_ACCESS, owner},
    };
    if (!DescriptorIs(facts, L"v.scratch.", SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, entries, 6, verdict)) return;
    const wchar_t* left = facts.Get(L"v.", L"left");
    if (left == nullptr || *left != 0) {
        return Say(verdict, Status::Fail, L"left beside the installer: ", left != nullptr ? left : L"(not observed)");
    }
    uint32_t after = 0;
    if (!facts.GetNumber(L"v.", L"scratch-after", after) || (after != ERROR_FILE_NOT_FOUND && after != ERROR_PATH_NOT_FOUND)) {
        return Say(verdict, Status::Fail, L"the scratch directory in the system's Temp is still there after the run");
    }
    Say(verdict, Status::Pass, L"from ", volume, L" (");
    verdict.detail.Add(facts.Get(L"v.file-system"));
    verdict.detail.Add(L"): the setup program ran in a QX_XXXXX.tmp in ");
    verdict.detail.Add(temp);
    verdict.detail.Add(L" that carried the six entries, and nothing was left");
}

// While the setup program ran, every module in the stub's process lay in the
// system folder or the side-by-side store (the installer itself aside), and
// none of the libraries planted beside the installer was loaded.
void JudgeModulesFromSystem(const Facts& facts, Verdict& verdict) {
    if (!NoneLoaded(facts, L"m.", SYSTEM_NAMES, SYSTEM_NAME_COUNT, L" beside the installer was loaded", verdict) ||
        !Shown(facts, L"module-paths", L"as loaded",
               L"this platform cannot show where another process's modules were loaded from", verdict) ||
        !RanCleanly(facts, L"m.", 0, verdict)) {
        return;
    }
    uint32_t error = 0;
    if (facts.GetNumber(L"m.", L"modules-error", error)) {
        return SayNumber(verdict, Status::Fail, L"the stub's modules could not be listed: error ", error);
    }
    uint32_t count = 0;
    if (!facts.GetNumber(L"m.", L"modules", count) || count == 0) {
        return Say(verdict, Status::Fail, L"the stub's modules were not listed");
    }
    static Text<1100> system;
    static Text<1100> sideBySide;
    system.Clear();
    system.Add(facts.Get(L"m.system-folder"));
    system.Add(L"\\");
    sideBySide.Clear();
    sideBySide.Add(facts.Get(L"m.side-by-side-folder"));
    sideBySide.Add(L"\\");
    if (system.length < 4 || sideBySide.length < 4) return Say(verdict, Status::Fail, L"the system folder was not observed");
    Text<32> key;
    for (uint32_t i = 1; i <= count; ++i) {
        const wchar_t* module = facts.Get(Numbered(key, L"m.module.", i));
        if (module == nullptr) return Say(verdict, Status::Fail, L"a module of the stub's was not listed");
        if (EqualNoCase(module, facts.Get(L"m.", L"started")) || EqualNoCase(module, facts.Get(L"m.", L"installer"))) {
            continue;
        }
        if (!StartsWithNoCase(module, system.Get()) && !StartsWithNoCase(module, sideBySide.Get())) {
            return Say(verdict, Status::Fail, L"the stub loaded ", module, L", from outside the system folder");
        }
    }
    Say(verdict, Status::Pass, L"");
    verdict.detail.AddDecimal(count);
    verdict.detail.Add(L" modules in the stub's process, each the installer or from ");
    verdict.detail.Add(system.Get());
    verdict.detail.Add(L" or ");
    verdict.detail.Add(sideBySide.Get());
    verdict.detail.Add(L"; none of the ");
    verdict.detail.AddDecimal(SYSTEM_NAME_COUNT);
    verdict.detail.Add(L" libraries planted beside it loaded");
}

// "<installer>.exe.local" beside the installer, holding planted libraries by
// name and in the side-by-side folder form, changes nothing.
void JudgeDotLocalIgnored(const Facts& facts, Verdict& verdict) {
    const wchar_t* loaded = facts.Get(L"dl.loaded");
    if (loaded == nullptr) return Say(verdict, Status::Fail, L"whether a planted library loaded was not observed");
    if (*loaded != 0) return Say(verdict, Status::Fail, L"loaded from installer.exe.local: ", loaded);
    if (!Shown(facts, L"dot-local", L"redirected",
               L"this platform does not redirect a program's libraries through its .local folder", verdict) ||
        !RanCleanly(facts, L"dl.", 0, verdict)) {
        return;
    }
    uint32_t planted = 0;
    if (!facts.GetNumber(L"dl.", L"planted", planted) || planted <= 4) {
        return Say(verdict, Status::Fail,
                   L"no library was planted in the side-by-side folder form (no Common-Controls assembly found)");
    }
    Say(verdict, Status::Pass, L"");
    verdict.detail.AddDecimal(planted);
    verdict.detail.Add(L" libraries planted in installer.exe.local, by name and in the side-by-side folder form: "
                       L"none loaded, and the run went on as usual");
}

}  // namespace kit

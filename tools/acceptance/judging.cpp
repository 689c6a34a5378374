#include "acceptance/judging.h"

#include "acceptance/judging_elevation.h"
#include "acceptance/judging_support.h"

namespace kit {

// The installer's own code for a file at its name that is not the one it runs from.
constexpr uint32_t EXIT_INSTALLER_FILE_FAILED = 119;
const uint32_t EXIT_CODES[] = {0, 3, 0x80000000, 0xC0000005, 0xFFFFFFFF};
const int EXIT_CODE_COUNT = sizeof(EXIT_CODES) / sizeof(EXIT_CODES[0]);
const wchar_t* const TYPED_ARGUMENTS[] = {L"", L"--foo \"a b\"", L"  x\t\t\"y  z\" "};
const int TYPED_ARGUMENT_COUNT = sizeof(TYPED_ARGUMENTS) / sizeof(TYPED_ARGUMENTS[0]);

namespace {

const wchar_t NO_DACL[] = L"this platform stores no DACL: the read-back is synthesised";

void JudgeDescriptor(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"dacl", L"stored", NO_DACL, verdict) || !RanCleanly(facts, L"d.", 0, verdict)) return;
    const wchar_t* owner = facts.Get(L"d.token-owner");
    if (owner == nullptr) return Say(verdict, Status::Fail, L"the probe could not read its token's owner");
    const Entry entries[] = {
        {0, FILE_ALL_ACCESS, ADMINISTRATORS}, {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, ADMINISTRATORS},
        {0, FILE_ALL_ACCESS, LOCAL_SYSTEM},   {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, LOCAL_SYSTEM},
        {INHERIT_TO_CHILDREN_ONLY, GENERIC_ALL, CREATOR_OWNER}, {0, FILE_ALL_ACCESS, owner},
    };
    if (!DescriptorIs(facts, L"d.scratch.", SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, entries, 6, verdict)) return;
    Say(verdict, Status::Pass, L"protected, auto-inherited, exactly the six entries, the last for the token owner ",
        owner);
}

void JudgeInherited(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"dacl", L"stored", NO_DACL, verdict) || !RanCleanly(facts, L"d.", 0, verdict)) return;
    const wchar_t* owner = facts.Get(L"d.token-owner");
    if (owner == nullptr) return Say(verdict, Status::Fail, L"the probe could not read its token's owner");
    const Entry entries[] = {
        {INHERITED_ACE, FILE_ALL_ACCESS, ADMINISTRATORS},
        {INHERITED_ACE, FILE_ALL_ACCESS, LOCAL_SYSTEM},
        {INHERITED_ACE, FILE_ALL_ACCESS, owner},
    };
    if (!DescriptorIs(facts, L"d.setup.", 0, entries, 3, verdict)) return;
    Say(verdict, Status::Pass, L"setup.exe holds only the inherited entries: Administrators, SYSTEM, its owner");
}

void JudgeRestrictedToken(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"dacl", L"stored", NO_DACL, verdict) ||
        !Shown(facts, L"access", L"checked", L"this platform does not check access to files", verdict) ||
        !RanCleanly(facts, L"d.", 0, verdict) ||
        !ProbeDid(facts, L"d.", L"restricted.token", L"make a restricted token", verdict) ||
        !ProbeDid(facts, L"d.", L"control.made", L"make a folder that grants Everyone", verdict) ||
        !ProbeDid(facts, L"d.", L"restricted.impersonate", L"act as the restricted token", verdict) ||
        !ProbeDid(facts, L"d.", L"plain.open", L"open the scratch directory with its own token", verdict)) {
        return;
    }
    // Without this, a token that can open nothing at all would pass.
    uint32_t control = 0;
    if (!facts.GetNumber(L"d.", L"restricted.control", control)) {
        return Say(verdict, Status::Fail, L"the restricted open of a folder that grants Everyone was not observed");
    }
    if (control != 0) {
        return SayNumber(verdict, Status::Fail,
                         L"the restricted token could not open even a folder that grants Everyone (error ", control,
                         L"), so its refusal shows nothing");
    }
    uint32_t error = 0;
    if (!facts.GetNumber(L"d.", L"restricted.open", error)) {
        return Say(verdict, Status::Fail, L"the open with the restricted token was not observed");
    }
    if (error == 0) return Say(verdict, Status::Fail, L"the restricted token was granted the scratch directory");
    if (error != ERROR_ACCESS_DENIED) {
        return SayNumber(verdict, Status::Fail, L"the restricted open failed with error ", error,
                         L", not access denied");
    }
    Say(verdict, Status::Pass, L"refused (access denied) without the user and Administrators, while a folder "
                               L"that grants Everyone opened; granted with them");
}

void JudgeLink(const Facts& facts, const wchar_t* prefix, const wchar_t* probe, const wchar_t* kind, Verdict& verdict) {
    if (!Shown(facts, probe, L"link-only", kind, verdict)) return;
    if (!ProbeDid(facts, prefix, L"moved", L"move its image out of the scratch directory", verdict) ||
        !ProbeDid(facts, prefix, L"link", L"plant the link", verdict) || !RanCleanly(facts, prefix, 0, verdict)) {
        return;
    }
    const wchar_t* target = facts.Get(prefix, L"target");
    if (!Equal(target, L"intact")) {
        return Say(verdict, Status::Fail, L"the link's target was touched: ", target != nullptr ? target : L"not observed");
    }
    Say(verdict, Status::Pass, L"the link was removed; its target and the files in it are intact");
}

void JudgeJunction(const Facts& facts, Verdict& verdict) {
    JudgeLink(facts, L"j.", L"junction", L"this platform cannot show a directory junction kept apart from its target",
              verdict);
}

void JudgeSymlink(const Facts& facts, Verdict& verdict) {
    JudgeLink(facts, L"s.", L"symlink", L"this platform cannot show a file symbolic link kept apart from its target",
              verdict);
}

const wchar_t NO_SHARING[] = L"this platform does not refuse a delete while another handle denies delete sharing";

void JudgeHeld(const Facts& facts, const wchar_t* prefix, bool deleteShared, Verdict& verdict) {
    if (!Shown(facts, L"sharing", L"enforced", NO_SHARING, verdict)) return;
    if (deleteShared && !Shown(facts, L"delete-pending", L"refused",
                               L"this platform lets a delete-pending file be opened again", verdict)) {
        return;
    }
    if (!ProbeDid(facts, prefix, L"held", L"hand its image to a holder", verdict) ||
        !RanCleanly(facts, prefix, 0, verdict)) {
        return;
    }
    uint32_t atRelease = 0;
    if (!facts.GetNumber(prefix, L"holder.image-at-release", atRelease)) {
        return Say(verdict, Status::Fail, L"the holder did not report");
    }
    // Still there when the holder let go, so the removal had to wait for it;
    // with delete sharing it may already be delete-pending.
    if (atRelease != 0 && !(deleteShared && atRelease == ERROR_ACCESS_DENIED)) {
        return SayNumber(verdict, Status::Fail, L"the setup program was gone while the holder held it (error ",
                         atRelease, L")");
    }
    Say(verdict, Status::Pass, L"removed once the holder let go, after the setup program had ended; nothing left");
}

void JudgeHeldExclusive(const Facts& facts, Verdict& verdict) { JudgeHeld(facts, L"h.", false, verdict); }
void JudgeHeldDeleteShared(const Facts& facts, Verdict& verdict) { JudgeHeld(facts, L"hs.", true, verdict); }

void JudgeAttributes(const Facts& facts, const wchar_t* prefix, Verdict& verdict) {
    if (!Shown(facts, L"read-only", L"refused", L"this platform deletes a read-only file as any other", verdict) ||
        !ProbeDid(facts, prefix, L"attributes", L"set the attributes", verdict) ||
        !RanCleanly(facts, prefix, 0, verdict)) {
        return;
    }
    Say(verdict, Status::Pass, L"removed; nothing left");
}

void JudgeReadOnly(const Facts& facts, Verdict& verdict) { JudgeAttributes(facts, L"r.", verdict); }
void JudgeReadOnlyHiddenSystem(const Facts& facts, Verdict& verdict) { JudgeAttributes(facts, L"rhs.", verdict); }

void JudgeExitCodes(const Facts& facts, Verdict& verdict) {
    Text<16> prefix;
    for (int i = 0; i < EXIT_CODE_COUNT; ++i) {
        if (!RanCleanly(facts, Numbered(prefix, L"e.", i, L"."), EXIT_CODES[i], verdict)) return;
    }
    Say(verdict, Status::Pass, L"");
    for (int i = 0; i < EXIT_CODE_COUNT; ++i) {
        verdict.detail.AddHex(EXIT_CODES[i]);
        verdict.detail.Add(L" ");
    }
    verdict.detail.Add(L"came through bit for bit");
}

// The probe saw exactly the composed command line for `typed`.
bool CommandLineIs(const Facts& facts, const wchar_t* prefix, const wchar_t* typed, Verdict& verdict) {
    const wchar_t* scratch = facts.Get(prefix, L"scratch");
    const wchar_t* installer = facts.Get(prefix, L"installer");
    const wchar_t* seen = facts.Get(prefix, L"command-line");
    if (!IsScratchOf(scratch, installer)) {
        Say(verdict, Status::Fail, L"setup ran in ", scratch != nullptr ? scratch : L"(not observed)",
            L", not in a QX_XXXXX.tmp beside ", installer != nullptr ? installer : L"(not observed)");
        return false;
    }
    static Text<4096> wanted;
    ComposeSetupCommand(scratch, installer, typed, wanted);
    if (!Equal(seen, wanted.Get())) {
        Say(verdict, Status::Fail, L"setup got [", seen != nullptr ? seen : L"(not observed)", L"], expected [",
            wanted.Get());
        verdict.detail.Add(L"]");
        return false;
    }
    return true;
}

bool DirectoryIs(const Facts& facts, const wchar_t* prefix, Verdict& verdict) {
    static Text<1100> seen;
    seen.Clear();
    seen.Add(facts.Get(prefix, L"current-directory"));
    if (seen.length > 3 && seen.units[seen.length - 1] == L'\\') seen.units[--seen.length] = 0;
    const wchar_t* wanted = facts.Get(prefix, L"directory");
    if (!Equal(seen.Get(), wanted)) {
        Say(verdict, Status::Fail, L"setup ran in ", seen.Get(), L", expected ", wanted != nullptr ? wanted : L"(none)");
        return false;
    }
    return true;
}

void JudgeCommandLine(const Facts& facts, Verdict& verdict) {
    Text<16> prefix;
    for (int i = 0; i < TYPED_ARGUMENT_COUNT; ++i) {
        Numbered(prefix, L"c.", i, L".");
        if (!RanCleanly(facts, prefix.Get(), 0, verdict) ||
            !CommandLineIs(facts, prefix.Get(), TYPED_ARGUMENTS[i], verdict)) {
            return;
        }
    }
    Say(verdict, Status::Pass, L"the three switches, then the arguments exactly as typed");
}

void JudgeCurrentDirectory(const Facts& facts, Verdict& verdict) {
    if (!RanCleanly(facts, L"cd.", 0, verdict) || !DirectoryIs(facts, L"cd.", verdict)) return;
    Say(verdict, Status::Pass, L"setup ran in the installer's current directory, not its own folder");
}

void JudgeNonAscii(const Facts& facts, Verdict& verdict) {
    const wchar_t* typed = facts.Get(L"n.arguments");
    if (!Shown(facts, L"non-ascii-names", L"kept", L"this platform cannot keep file names beyond ASCII", verdict) ||
        !RanCleanly(facts, L"n.", 0x80000000, verdict) ||
        !CommandLineIs(facts, L"n.", typed != nullptr ? typed : L"", verdict) ||
        !DirectoryIs(facts, L"n.", verdict)) {
        return;
    }
    Say(verdict, Status::Pass, L"exit code, command line and current directory right from ",
        facts.Get(L"n.installer"));
}

void JudgePlantedLibraries(const Facts& facts, Verdict& verdict) {
    const wchar_t* NAMES[] = {L"cabinet.dll", L"version.dll"};
    bool anyShown = false;
    for (const wchar_t* name : NAMES) {
        const wchar_t* probe = facts.Get(L"platform.load.", name);
        if (probe == nullptr) return Say(verdict, Status::Fail, L"the platform was not probed for ", name);
        // A planted library the installer loaded is the fault itself,
        // whatever the platform probe's helper saw; and it is judged before
        // the run's exit code, which it usually spoils too.
        const wchar_t* loaded = facts.Get(L"p.loaded.", name);
        if (loaded == nullptr) {
            return Say(verdict, Status::Fail, L"whether the installer loaded the planted ", name, L" was not observed");
        }
        if (!Equal(loaded, L"no")) {
            return Say(verdict, Status::Fail, L"the planted ", name, L" was loaded by the installer");
        }
        anyShown = anyShown || Equal(probe, L"loaded");
    }
    if (!anyShown) {
        return Say(verdict, Status::NotShown,
                   L"this platform loads neither planted library even for a program that asks by bare name");
    }
    if (!RanCleanly(facts, L"p.", 0, verdict)) return;
    Say(verdict, Status::Pass, L"");
    for (const wchar_t* name : NAMES) {
        if (verdict.detail.length > 0) verdict.detail.Add(L"; ");
        verdict.detail.Add(name);
        verdict.detail.Add(Equal(facts.Get(L"platform.load.", name), L"loaded")
                               ? L" never loaded"
                               : L" not shown (this platform does not load it from beside a program)");
    }
}

void JudgeCrowd(const Facts& facts, Verdict& verdict) {
    Text<64> key;
    Text<16> prefix;
    for (int i = 0; i < CROWD; ++i) {
        uint32_t exitCode = 0;
        if (!facts.GetNumber(L"", Numbered(key, L"k.", i, L".exit"), exitCode) || exitCode != 0x100u + i) {
            Say(verdict, Status::Fail, L"installer ");
            verdict.detail.AddDecimal(static_cast<uint64_t>(i + 1));
            verdict.detail.Add(L": exit code ");
            verdict.detail.AddHex(exitCode);
            verdict.detail.Add(L", expected ");
            verdict.detail.AddHex(0x100u + i);
            return;
        }
        const wchar_t* scratch = facts.Get(Numbered(key, L"k.", i, L".scratch"));
        if (!IsScratchOf(scratch, facts.Get(L"k.installer"))) {
            Say(verdict, Status::Fail, L"installer ");
            verdict.detail.AddDecimal(static_cast<uint64_t>(i + 1));
            verdict.detail.Add(L": its setup program did not run in a scratch directory beside it");
            return;
        }
        for (int j = 0; j < i; ++j) {
            if (Equal(scratch, facts.Get(Numbered(key, L"k.", j, L".scratch")))) {
                return Say(verdict, Status::Fail, L"two installers shared ", scratch);
            }
        }
    }
    const wchar_t* left = facts.Get(L"k.left");
    if (left == nullptr || *left != 0) {
        return Say(verdict, Status::Fail, L"left beside the installers: ", left != nullptr ? left : L"(not observed)");
    }
    prefix.Clear();
    prefix.AddDecimal(CROWD);
    Say(verdict, Status::Pass, prefix.Get(), L" distinct scratch directories, ", prefix.Get(),
        L" right exit codes, nothing left");
}

void JudgeScratchHeld(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"directory-sharing", L"enforced",
               L"this platform lets a directory be renamed while a handle denies delete sharing", verdict)) {
        return;
    }
    // The probe's running image must leave first (one inside keeps anyone
    // from taking the directory, held or not). Windows and Wine both let a
    // running image be moved, so a probe that could not is a fault of the
    // kit's, and fails rather than hides the check.
    if (!ProbeDid(facts, L"t.", L"moved", L"move its image out of the scratch directory", verdict) ||
        !RanCleanly(facts, L"t.", 0, verdict)) {
        return;
    }
    uint32_t deleteOpen = 0;
    uint32_t rename = 0;
    if (!facts.GetNumber(L"t.", L"delete-open", deleteOpen) || !facts.GetNumber(L"t.", L"rename", rename)) {
        return Say(verdict, Status::Fail, L"the attempts on the scratch directory were not observed");
    }
    // Only a sharing violation is the hold's refusal; access denied, say,
    // would come from something else and show nothing about the hold.
    if (deleteOpen == 0) {
        return Say(verdict, Status::Fail, L"another program could open the scratch directory for deletion");
    }
    if (deleteOpen != ERROR_SHARING_VIOLATION) {
        return SayNumber(verdict, Status::Fail, L"opening the scratch directory for deletion failed with error ",
                         deleteOpen, L", not a sharing violation");
    }
    if (rename == 0) return Say(verdict, Status::Fail, L"another program could rename the scratch directory");
    if (rename != ERROR_SHARING_VIOLATION) {
        return SayNumber(verdict, Status::Fail, L"renaming the scratch directory failed with error ", rename,
                         L", not a sharing violation");
    }
    uint32_t enter = 0;
    uint32_t renameInside = 0;
    if (!facts.GetNumber(L"t.", L"enter", enter) || !facts.GetNumber(L"t.", L"rename-inside", renameInside)) {
        return Say(verdict, Status::Fail, L"the setup program's own use of the scratch directory was not observed");
    }
    if (enter != 0) {
        return SayNumber(verdict, Status::Fail,
                         L"the setup program could not make the scratch directory its current directory (error ",
                         enter, L")");
    }
    if (renameInside != 0) {
        return SayNumber(verdict, Status::Fail,
                         L"the setup program could not rename a file inside the scratch directory (error ",
                         renameInside, L")");
    }
    Say(verdict, Status::Pass, L"opening it for deletion and renaming it refused as sharing violations; the setup "
                               L"program still entered it and renamed a file inside");
}

// The installer, from the setup program's start to its end: nobody may
// rename it away, open it for deletion or write it, and the setup program
// must still read it and find the archive in it; afterwards it is unchanged.
void JudgeInstallerHeld(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"sharing", L"enforced", NO_SHARING, verdict)) return;
    const wchar_t* const TAKEN[] = {L"installer.rename", L"installer.delete-open", L"installer.write-open"};
    const wchar_t* const WHAT[] = {L"rename the installer", L"open the installer for deletion",
                                   L"open the installer for writing"};
    uint32_t errors[3] = {};
    for (int i = 0; i < 3; ++i) {
        if (!facts.GetNumber(L"i.", TAKEN[i], errors[i])) {
            return Say(verdict, Status::Fail, L"the attempts on the installer were not observed");
        }
        if (errors[i] == 0) {
            return Say(verdict, Status::Fail, L"another program could ", WHAT[i], L" while the setup program ran");
        }
        // As for the scratch directory: only a sharing violation is the
        // hold's refusal.
        if (errors[i] != ERROR_SHARING_VIOLATION) {
            Say(verdict, Status::Fail, L"the attempt to ", WHAT[i], L" failed with error ");
            verdict.detail.AddHex(errors[i]);
            verdict.detail.Add(L", not a sharing violation");
            return;
        }
    }
    if (!ProbeDid(facts, L"i.", L"installer.read", L"read the installer through an open that shares reading",
                  verdict) ||
        !ProbeDid(facts, L"i.", L"installer.data-file", L"find the archive in the installer loaded as a data file",
                  verdict) ||
        !RanCleanly(facts, L"i.", 0, verdict)) {
        return;
    }
    if (!Equal(facts.Get(L"i.unchanged"), L"yes")) {
        return Say(verdict, Status::Fail, L"the installer was not the same file after the run");
    }
    Say(verdict, Status::Pass, L"renaming, opening for deletion and for writing refused as sharing violations while "
                               L"the setup program ran; it read the installer and found the archive; unchanged "
                               L"afterwards");
}

// An installer whose name was taken as it started (`what` stands there now):
// it ended with 119, its setup program never ran, nothing of it is left.
bool EndedAtTheCheck(const Facts& facts, const wchar_t* prefix, const wchar_t* what, Verdict& verdict) {
    uint32_t exitCode = 0;
    if (!facts.GetNumber(prefix, L"exit", exitCode)) {
        const wchar_t* start = facts.Get(prefix, L"start-error");
        Say(verdict, Status::Fail, what, L": the installer did not run (", start != nullptr ? start : L"not observed");
        verdict.detail.Add(L")");
        return false;
    }
    if (facts.Get(prefix, L"image") != nullptr) {
        Say(verdict, Status::Fail, what, L": the setup program ran, from what stands at the installer's name");
        return false;
    }
    if (exitCode != EXIT_INSTALLER_FILE_FAILED) {
        Say(verdict, Status::Fail, what, L": exit code ");
        verdict.detail.AddHex(exitCode);
        verdict.detail.Add(L", expected ");
        verdict.detail.AddHex(EXIT_INSTALLER_FILE_FAILED);
        return false;
    }
    const wchar_t* left = facts.Get(prefix, L"left");
    if (left == nullptr || *left != 0) {
        Say(verdict, Status::Fail, what, L": left beside the installer: ", left != nullptr ? left : L"(not observed)");
        return false;
    }
    return true;
}

// A copy of every byte, and then a symbolic link to the installer, put at
// its name while it was started suspended: each time it must tell that what
// it holds is not the file it runs from. Where the platform makes no link
// that leads to its target, the copy alone is shown.
void JudgeInstallerTakenAtStart(const Facts& facts, Verdict& verdict) {
    uint32_t error = 0;
    if (!facts.GetNumber(L"a.", L"rename", error)) {
        return Say(verdict, Status::Fail, L"the installer's name was not taken (not observed)");
    }
    if (error != 0) {
        return SayNumber(verdict, Status::NotShown, L"this platform does not let a started program's file be renamed "
                                                    L"(error ", error, L")");
    }
    if (!facts.GetNumber(L"a.", L"replace", error) || error != 0) {
        return SayNumber(verdict, Status::Fail, L"the kit could not put a copy at the installer's name: error ", error);
    }
    if (!EndedAtTheCheck(facts, L"a.", L"a copy at its name", verdict)) return;
    const wchar_t* links = facts.Get(L"platform.", L"symlink");
    if (!Equal(links, L"link-only")) {
        return Say(verdict, Status::Pass, L"a copy of every byte put at its name as it started: it ended with 119, "
                                          L"started nothing and left nothing; a symbolic link there is not shown (probe: ",
                   links != nullptr ? links : L"not probed", L")");
    }
    if (!facts.GetNumber(L"al.", L"rename", error) || error != 0 || !facts.GetNumber(L"al.", L"link", error) ||
        error != 0) {
        return SayNumber(verdict, Status::Fail, L"the kit could not put a link at the installer's name: error ", error);
    }
    if (!EndedAtTheCheck(facts, L"al.", L"a symbolic link to it at its name", verdict)) return;
    Say(verdict, Status::Pass, L"a copy of every byte, and a symbolic link to it, put at its name as it started: "
                               L"each time it ended with 119, started nothing and left nothing");
}

// An intruder watching the installer's folder went for each new scratch
// directory the moment it appeared: never may it have renamed one away, and
// no setup program may have run in a directory of the intruder's. As for the
// scratch directory held, only a sharing violation is the hold's refusal; a
// directory already gone when the intruder came shows nothing either way.
void JudgeScratchCreatedHeld(const Facts& facts, Verdict& verdict) {
    if (!Shown(facts, L"directory-sharing", L"enforced",
               L"this platform lets a directory be renamed while a handle denies delete sharing", verdict)) {
        return;
    }
    uint32_t runs = 0;
    uint32_t seen = 0;
    uint32_t swapped = 0;
    uint32_t refused = 0;
    uint32_t missed = 0;
    uint32_t otherwise = 0;
    uint32_t error = 0;
    uint32_t watchError = 0;
    if (!facts.GetNumber(L"x.", L"runs", runs) || !facts.GetNumber(L"x.", L"seen", seen) ||
        !facts.GetNumber(L"x.", L"swapped", swapped) || !facts.GetNumber(L"x.", L"refused", refused) ||
        !facts.GetNumber(L"x.", L"missed", missed) || !facts.GetNumber(L"x.", L"refused-otherwise", otherwise) ||
        !facts.GetNumber(L"x.", L"error", error) || !facts.GetNumber(L"x.", L"watch-error", watchError)) {
        return Say(verdict, Status::Fail, L"the intruder's runs were not observed");
    }
    if (swapped != 0) {
        Say(verdict, Status::Fail, L"the intruder renamed away and replaced ");
        verdict.detail.AddDecimal(swapped);
        verdict.detail.Add(L" new scratch directories");
        return;
    }
    if (watchError != 0) {
        return SayNumber(verdict, Status::Fail, L"the intruder could not watch the folder (error ", watchError, L")");
    }
    Text<16> prefix;
    for (uint32_t i = 0; i < runs; ++i) {
        Numbered(prefix, L"x.", i, L".");
        if (!RanCleanly(facts, prefix.Get(), 0, verdict)) return;
        if (!Equal(facts.Get(prefix.Get(), L"intruder-inside"), L"no")) {
            Say(verdict, Status::Fail, L"run ");
            verdict.detail.AddDecimal(i + 1);
            verdict.detail.Add(L": the setup program ran in the intruder's directory, or did not say");
            return;
        }
    }
    if (seen == 0) {
        return Say(verdict, Status::Fail, L"the intruder saw no new scratch directory, so nothing was tried");
    }
    if (otherwise != 0) {
        return SayNumber(verdict, Status::Fail, L"the intruder's rename of a new scratch directory failed with error ",
                         error, L", not a sharing violation");
    }
    if (refused == 0) {
        return Say(verdict, Status::Fail,
                   L"every new scratch directory was gone before the intruder came, so nothing was tried");
    }
    Say(verdict, Status::Pass, L"over ");
    verdict.detail.AddDecimal(runs);
    verdict.detail.Add(L" runs an intruder went for ");
    verdict.detail.AddDecimal(seen);
    verdict.detail.Add(L" new scratch directories the moment they appeared; ");
    verdict.detail.AddDecimal(refused);
    verdict.detail.Add(L" renames refused as sharing violations (");
    verdict.detail.AddDecimal(missed);
    verdict.detail.Add(L" gone before it came); every setup program ran in the stub's own");
}

}  // namespace

void ComposeSetupCommand(const wchar_t* scratch, const wchar_t* installer, const wchar_t* typed, Text<4096>& out) {
    out.Clear();
    out.Add(L"\"");
    out.Add(scratch);
    out.Add(L"\\setup.exe\" --ferrolt-path=\"");
    out.Add(installer);
    out.Add(L"\" --archive-resource-name=\"BRISEL.PACKED.7Z\" --archive-resource-type=\"B7\"");
    // The kit types one blank after the quoted installer name, and the stub
    // passes everything after the name on as it stands.
    if (typed != nullptr && *typed != 0) {
        out.Add(L" ");
        out.Add(typed);
    }
}

const Check CHECKS[] = {
    {L"descriptor-stored", JudgeDescriptor},
    {L"descriptor-inherited", JudgeInherited},
    {L"restricted-token-refused", JudgeRestrictedToken},
    {L"junction-not-followed", JudgeJunction},
    {L"symlink-not-followed", JudgeSymlink},
    {L"held-file-removed", JudgeHeldExclusive},
    {L"held-shared-file-removed", JudgeHeldDeleteShared},
    {L"read-only-removed", JudgeReadOnly},
    {L"read-only-hidden-system-removed", JudgeReadOnlyHiddenSystem},
    {L"exit-codes", JudgeExitCodes},
    {L"command-line", JudgeCommandLine},
    {L"current-directory", JudgeCurrentDirectory},
    {L"non-ascii-path", JudgeNonAscii},
    {L"planted-libraries", JudgePlantedLibraries},
    {L"sixteen-at-once", JudgeCrowd},
    {L"scratch-directory-held", JudgeScratchHeld},
    {L"installer-file-held", JudgeInstallerHeld},
    {L"installer-taken-at-start", JudgeInstallerTakenAtStart},
    {L"scratch-directory-created-held", JudgeScratchCreatedHeld},
    {L"environment-system-folder", JudgeEnvironmentSystemFolder},
    {L"junction-retargeted", JudgeJunctionRetargeted},
    {L"folder-ending-in-a-dot", JudgeFolderEndingInADot},
    {L"folder-of-held-file-pinned", JudgeFolderOfHeldFilePinned},
    {L"no-acl-volume", JudgeNoAclVolume},
    {L"modules-from-system", JudgeModulesFromSystem},
    {L"dot-local-ignored", JudgeDotLocalIgnored},
};
const int CHECK_COUNT = sizeof(CHECKS) / sizeof(CHECKS[0]);

}  // namespace kit

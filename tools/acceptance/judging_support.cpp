#include "acceptance/judging_support.h"

namespace kit {

namespace {

// "<type> <flags> <mask> <SID>" as the observing side writes an entry.
void EntryText(uint32_t flags, uint32_t mask, const wchar_t* sid, Text<300>& out) {
    out.Clear();
    out.AddHex(ACE_ALLOWED);
    out.Add(L" ");
    out.AddHex(flags);
    out.Add(L" ");
    out.AddHex(mask);
    out.Add(L" ");
    out.Add(sid);
}

// An entry that only children inherit may keep GENERIC_ALL as written or
// hold it mapped to the file rights it stands for: both grant everything.
bool EntryMatches(const wchar_t* seen, const Entry& entry, Text<300>& wanted) {
    EntryText(entry.flags, entry.mask, entry.sid, wanted);
    if (Equal(seen, wanted.Get())) return true;
    if (entry.mask != GENERIC_ALL) return false;
    Text<300> mapped;
    EntryText(entry.flags, FILE_ALL_ACCESS, entry.sid, mapped);
    return Equal(seen, mapped.Get());
}

}  // namespace

void Say(Verdict& verdict, Status status, const wchar_t* a, const wchar_t* b, const wchar_t* c, const wchar_t* d) {
    verdict.status = status;
    verdict.detail.Clear();
    verdict.detail.Add(a);
    verdict.detail.Add(b);
    verdict.detail.Add(c);
    verdict.detail.Add(d);
}

void SayNumber(Verdict& verdict, Status status, const wchar_t* before, uint32_t number, const wchar_t* after) {
    Say(verdict, status, before);
    verdict.detail.AddHex(number);
    verdict.detail.Add(after);
}

// The platform probe's answer must be `wanted` for the check to show
// anything; otherwise NOT-SHOWN with the reason and what the probe saw.
bool Shown(const Facts& facts, const wchar_t* probe, const wchar_t* wanted, const wchar_t* reason, Verdict& verdict) {
    const wchar_t* seen = facts.Get(L"platform.", probe);
    if (seen == nullptr) {
        Say(verdict, Status::Fail, L"the platform was not probed (platform.", probe, L")");
        return false;
    }
    if (!Equal(seen, wanted)) {
        Say(verdict, Status::NotShown, reason, L" (probe: ", seen, L")");
        return false;
    }
    return true;
}

namespace {

bool IsHexDigit(wchar_t unit) { return (unit >= L'0' && unit <= L'9') || (unit >= L'A' && unit <= L'F'); }

}  // namespace

// `scratch` is "<the installer's folder>\QX_<five hex digits>.tmp".
bool IsScratchOf(const wchar_t* scratch, const wchar_t* installer) {
    if (scratch == nullptr || installer == nullptr) return false;
    int folder = Length(installer);
    while (folder > 0 && installer[folder - 1] != L'\\') --folder;
    if (folder == 0) return false;
    for (int i = 0; i < folder; ++i) {
        if (scratch[i] != installer[i]) return false;
    }
    const wchar_t* name = scratch + folder;
    if (!StartsWith(name, L"QX_")) return false;
    for (int i = 3; i < 8; ++i) {
        if (!IsHexDigit(name[i])) return false;
    }
    return Equal(name + 8, L".tmp");
}

// The setup program reported, and it ran as setup.exe in a scratch
// directory beside the installer: the installer wrote and expanded it. An
// installer that ends with the expected code before that point (or a kit
// that never started it) must not pass on its exit code alone.
bool SetupReported(const Facts& facts, const wchar_t* prefix, Verdict& verdict) {
    const wchar_t* image = facts.Get(prefix, L"image");
    if (image == nullptr) {
        Say(verdict, Status::Fail, L"the setup program never reported: the installer did not expand or start it");
        return false;
    }
    const wchar_t* scratch = facts.Get(prefix, L"scratch");
    static Text<1100> wanted;
    wanted.Clear();
    wanted.Add(scratch);
    wanted.Add(L"\\setup.exe");
    if (!IsScratchOf(scratch, facts.Get(prefix, L"installer")) || !Equal(image, wanted.Get())) {
        Say(verdict, Status::Fail, L"the setup program ran as ", image,
            L", not as setup.exe in a QX_XXXXX.tmp beside the installer");
        return false;
    }
    return true;
}

// One installer run: the exit code it had to give, its setup program's
// report, and nothing of the run left beside the installer.
bool RanCleanly(const Facts& facts, const wchar_t* prefix, uint32_t expected, Verdict& verdict) {
    uint32_t exitCode = 0;
    if (!facts.GetNumber(prefix, L"exit", exitCode)) {
        const wchar_t* error = facts.Get(prefix, L"start-error");
        Say(verdict, Status::Fail, L"the installer did not run (", error != nullptr ? error : L"not observed", L")");
        return false;
    }
    if (exitCode != expected) {
        SayNumber(verdict, Status::Fail, L"exit code ", exitCode, L", expected ");
        verdict.detail.AddHex(expected);
        return false;
    }
    if (!SetupReported(facts, prefix, verdict)) return false;
    const wchar_t* left = facts.Get(prefix, L"left");
    if (left == nullptr || *left != 0) {
        Say(verdict, Status::Fail, L"left beside the installer: ", left != nullptr ? left : L"(not observed)");
        return false;
    }
    return true;
}

// A probe result that must be 0 (the step worked); FAIL naming it otherwise.
bool ProbeDid(const Facts& facts, const wchar_t* prefix, const wchar_t* key, const wchar_t* what, Verdict& verdict) {
    uint32_t error = 0;
    if (!facts.GetNumber(prefix, key, error)) {
        Say(verdict, Status::Fail, L"the probe did not report whether it could ", what);
        return false;
    }
    if (error != 0) {
        Say(verdict, Status::Fail, L"the probe could not ", what, L": error ");
        verdict.detail.AddHex(error);
        return false;
    }
    return true;
}

// The descriptor under `prefix` has exactly `entries`, in order, and the
// control bits in `control`.
bool DescriptorIs(const Facts& facts, const wchar_t* prefix, uint32_t control, const Entry* entries, int count,
                  Verdict& verdict) {
    const wchar_t* error = facts.Get(prefix, L"error");
    if (error != nullptr) {
        Say(verdict, Status::Fail, L"the probe could not read the descriptor: error ", error);
        return false;
    }
    uint32_t seenControl = 0;
    uint32_t seenCount = 0;
    if (!facts.GetNumber(prefix, L"control", seenControl) || !facts.GetNumber(prefix, L"aces", seenCount)) {
        const wchar_t* aces = facts.Get(prefix, L"aces");
        Say(verdict, Status::Fail, L"no DACL read back (entries: ", aces != nullptr ? aces : L"not observed", L")");
        return false;
    }
    if ((seenControl & control) != control) {
        SayNumber(verdict, Status::Fail, L"control bits ", seenControl, L" lack ");
        verdict.detail.AddHex(control & ~seenControl);
        verdict.detail.Add(L" (0x1000 protected, 0x0400 auto-inherited)");
        return false;
    }
    Text<64> key;
    Text<300> wanted;
    for (int i = 0; i < static_cast<int>(seenCount) || i < count; ++i) {
        const wchar_t* seen = facts.Get(prefix, Numbered(key, L"ace.", i + 1));
        if (i < count) EntryText(entries[i].flags, entries[i].mask, entries[i].sid, wanted);
        if (i >= count || i >= static_cast<int>(seenCount) || !EntryMatches(seen, entries[i], wanted)) {
            Say(verdict, Status::Fail, L"");
            verdict.detail.AddDecimal(seenCount);
            verdict.detail.Add(L" entries; entry ");
            verdict.detail.AddDecimal(static_cast<uint64_t>(i + 1));
            verdict.detail.Add(L" is ");
            verdict.detail.Add(i < static_cast<int>(seenCount) && seen != nullptr ? seen : L"missing");
            verdict.detail.Add(L", expected ");
            verdict.detail.Add(i < count ? wanted.Get() : L"none");
            return false;
        }
    }
    return true;
}


}  // namespace kit

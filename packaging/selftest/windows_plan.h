// The arithmetic and the order of steps of the checks that only Windows can answer, apart from
// the system calls that carry them out (windows_checks.cpp), so that they can be tried anywhere.
// No OS header.
#pragma once

#include <string>
#include <vector>

namespace selftest {

// NetShareAdd's answer when a share of that name exists already.
constexpr unsigned long share_name_in_use = 2118;
constexpr int share_name_tries = 9;

// The name of the self-test's share: its process number, a number for a later try, and "$",
// which keeps the share out of the lists that browse this computer's shares.
inline std::wstring ShareName(unsigned long process, int attempt)
{
    std::wstring name = L"VelmoraSelftest" + std::to_wstring(process);
    if (attempt > 1)
        name += L"-" + std::to_wstring(attempt);
    return name + L"$";
}

// Share permissions for one user, by the text of the user's SID: all access, nobody else.
inline std::wstring ShareSecurity(const std::wstring& userSid)
{
    return L"D:(A;;GA;;;" + userSid + L")";
}

inline std::wstring ThroughShare(const std::wstring& share, const std::wstring& file)
{
    return L"\\\\localhost\\" + share + L"\\" + file;
}

// An extension that no open file is likely to have: up to 8 letters and digits.
inline std::wstring AbsentExtension(unsigned long process)
{
    return L"zq" + std::to_wstring(process % 1000000);
}

struct ShareOutcome {
    std::wstring name;          // the name last tried
    unsigned long added = 0;    // NetShareAdd's answer for it: 0 when shared
    unsigned long removed = 0;  // NetShareDel's, when it was shared
};

// Shares under the first name not in use, hands the name to use, and removes the share again
// however use ends, a thrown exception included. add(name) and remove(name) answer as the
// system calls do (0: done).
template <class Add, class Use, class Remove>
ShareOutcome WithShare(unsigned long process, Add add, Use use, Remove remove)
{
    ShareOutcome outcome;
    for (int attempt = 1; attempt <= share_name_tries; ++attempt) {
        outcome.name = ShareName(process, attempt);
        outcome.added = add(outcome.name);
        if (outcome.added != share_name_in_use)
            break;
    }
    if (outcome.added != 0)
        return outcome;
    struct Removal {
        Remove& remove;
        ShareOutcome& outcome;
        ~Removal() { outcome.removed = remove(outcome.name); }
    } removal{remove, outcome};
    use(outcome.name);
    return outcome;
}

// A path of exactly length units below base: the folders to make, each a name of at most 200
// units, then the file name. Empty when base leaves no room.
struct LongPath {
    std::vector<std::wstring> folders;
    std::wstring file;
};
inline LongPath PlanLongPath(const std::wstring& base, std::size_t length, const std::wstring& name)
{
    LongPath plan;
    // What the folders take, each with the backslash before it.
    std::size_t left = length - base.size() - name.size() - 1;
    if (base.size() + name.size() + 1 > length || left == 1)
        return plan;
    std::wstring path = base;
    while (left > 0) {
        std::size_t take = left < 201 ? left : 201;
        if (left - take == 1)
            --take;
        path += L"\\" + std::wstring(take - 1, L'x');
        plan.folders.push_back(path);
        left -= take;
    }
    plan.file = path + L"\\" + name;
    return plan;
}

// How far the clock moved between two readings, in 100-ns units: the system time's change less
// the time that passed by the performance counter (counts at frequency per second).
inline long long ClockMoved(long long systemChange, long long counterChange, long long frequency)
{
    long long passed = counterChange / frequency * 10000000 +
                       counterChange % frequency * 10000000 / frequency;
    return systemChange - passed;
}

}  // namespace selftest

#include "update/RecordKeeper.h"

#include "platform/Settings.h"

#include <QDate>

namespace {
const CAtlString kKeyPath = QStringLiteral("Software/ORVEX Technologies/Product Update");
const CAtlString kInterval = QStringLiteral("Interval");
const CAtlString kCheckUpdates = QStringLiteral("CheckUpdates");
const CAtlString kLastChecked = QStringLiteral("LastChecked");

// The user's value, or the machine-wide one an administrator set when the user has none.
int32_t ReadUserThenMachine(const CAtlString& name, int32_t defaultValue) {
    int32_t error = 0;
    const int32_t value =
        ReadSettingInt(CurrentUser, kKeyPath, name, defaultValue, &error, kRegistryMarker);
    if (error == 0)
        return value;
    return ReadSettingInt(LocalMachine, kKeyPath, name, defaultValue, nullptr, kRegistryMarker);
}
} // namespace

bool CRecordKeeper::Load() {
    Interval = ReadUserThenMachine(kInterval, 30);
    CheckUpdates = ReadUserThenMachine(kCheckUpdates, 1) == 1;
    int32_t error = 0;
    LastChecked = ReadSettingInt(CurrentUser, kKeyPath, kLastChecked, 0, &error, kRegistryMarker);
    LastCheckedToStore = LastChecked;
    return error == 0;
}

void CRecordKeeper::Save() {
    WriteSettingInt(CurrentUser, kKeyPath, kInterval, Interval, kRegistryMarker);
    WriteSettingInt(CurrentUser, kKeyPath, kCheckUpdates, CheckUpdates ? 1 : 0, kRegistryMarker);
    WriteSettingInt(CurrentUser, kKeyPath, kLastChecked, LastCheckedToStore, kRegistryMarker);
}

bool CRecordKeeper::IsCheckDue(int32_t today) const {
    // A last check that lies ahead of today was recorded by a clock that ran ahead (or was
    // edited by hand): counting the interval from it would stop the scheduled check until
    // the calendar caught up, months perhaps. The check is due, and records today.
    if (LastChecked > today)
        return true;
    // Widened so that a hand-edited extreme "LastChecked" cannot overflow the subtraction.
    return static_cast<int64_t>(today) - LastChecked >= Interval;
}

int32_t CRecordKeeper::Today() const {
    return m_clock ? m_clock() : static_cast<int32_t>(QDate::currentDate().toJulianDay());
}

void CRecordKeeper::RecordCheck(bool succeeded) {
    if (succeeded)
        LastCheckedToStore = Today();
}

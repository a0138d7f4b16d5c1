#pragma once

#include <cstdint>
#include <functional>

// The silent-check schedule of the current user. The main window reads and writes the
// fields directly; they reach the settings store only through Save.
class CRecordKeeper {
public:
    virtual ~CRecordKeeper() = default;

    // True when "LastChecked" was read without error. Unreadable values keep the defaults.
    bool Load();
    void Save();

    // Whether a silent check is due on the given Julian day: the interval has passed since
    // the last check, or the last check lies after that day.
    bool IsCheckDue(int32_t today) const;

    // Today's Julian day number by the clock the schedule is kept with: the local date, or
    // what a clock set by a test answers. The due date and a recorded check read the same
    // clock, so a run never compares one calendar with another.
    int32_t Today() const;
    void SetClock(std::function<int32_t()> today) { m_clock = std::move(today); }
    // A check has ended: a successful one makes today the last check that Save writes; a
    // failed one leaves the date as loaded, so the next silent run is due again.
    void RecordCheck(bool succeeded);

    bool CheckUpdates = true;
    int32_t Interval = 30;
    // Julian day number of the last successful check, as loaded; 0 means never.
    int32_t LastChecked = 0;
    // What Save writes back; the workflow moves it to today after a successful check.
    int32_t LastCheckedToStore = 0;

private:
    std::function<int32_t()> m_clock;
};

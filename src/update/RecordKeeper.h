#pragma once

#include <cstdint>

// The silent-check schedule of the current user. The main window reads and writes the
// fields directly; they reach the settings store only through Save.
class CRecordKeeper {
public:
    virtual ~CRecordKeeper() = default;

    // True when "LastChecked" was read without error. Unreadable values keep the defaults.
    bool Load();
    void Save();

    // Whether a silent check is due on the given Julian day.
    bool IsCheckDue(int32_t today) const;

    bool CheckUpdates = true;
    int32_t Interval = 30;
    // Julian day number of the last successful check, as loaded; 0 means never.
    int32_t LastChecked = 0;
    // What Save writes back; the workflow moves it to today after a successful check.
    int32_t LastCheckedToStore = 0;
};

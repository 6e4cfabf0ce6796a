#pragma once

#include <QMetaType>
#include <string>

// An audio input device as the capture service knows it.
struct CaptureDevice {
    std::string uniqueID;      // stable identifier, stored as the preferred device
    std::string localizedName; // what the user sees

    bool operator==(const CaptureDevice&) const = default;
};

Q_DECLARE_METATYPE(CaptureDevice)

#include "engine/status.h"

#include <mutex>

#include "engine/helpers.h"
#include "engine/installer.h"

void setStatus(const std::wstring &title, const std::wstring &detail, double fraction)
{
    {
        // The three fields change together so a paint never mixes two statuses.
        std::lock_guard<std::mutex> lock(installer.mutex);
        installer.statusTitle = title;
        installer.statusDetail = detail;
        installer.fraction = fraction;
    }
    // Neither the log nor notify runs under the lock: notify may take it.
    std::string line = wideToUtf8(title);
    if (!detail.empty()) line += " - " + wideToUtf8(detail);
    logLine(line.c_str());
    if (installer.notify) installer.notify();
}

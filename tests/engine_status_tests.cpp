#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "engine/installer.h"
#include "engine/status.h"
#include "test_files.h"

TEST(SetStatus, StoresLogsAndNotifiesAfterUnlocking)
{
    ScratchFolder folder;
    installer.logFile = _wfopen((folder / "setup.log").c_str(), L"w");
    ASSERT_NE(installer.logFile, nullptr);
    int calls = 0;
    bool lockWasFree = true;
    installer.notify = [&] {
        ++calls;
        // Probe from another thread: a try_lock by the holder itself is undefined.
        std::thread([&] {
            if (installer.mutex.try_lock())
                installer.mutex.unlock();
            else
                lockWasFree = false;
        }).join();
        std::lock_guard<std::mutex> lock(installer.mutex); // as a repaint does
    };

    setStatus(L"Looking for the newest version...", L"", -1.0);
    setStatus(L"Gr\x00FC\x00DF" L"e", L"12 MB of 40 MB", 0.3);
    fclose(installer.logFile);
    installer.logFile = nullptr;
    installer.notify = nullptr;

    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(lockWasFree);
    {
        std::lock_guard<std::mutex> lock(installer.mutex);
        EXPECT_EQ(installer.statusTitle, L"Gr\x00FC\x00DF" L"e");
        EXPECT_EQ(installer.statusDetail, L"12 MB of 40 MB");
        EXPECT_EQ(installer.fraction, 0.3);
    }
    // A text stream: each line ends in CR LF here.
    EXPECT_EQ(readWholeFile(folder / "setup.log"),
              "Looking for the newest version...\r\nGr\xC3\xBC\xC3\x9F" "e - 12 MB of 40 MB\r\n");
    setStatus(L"", L"", -1.0); // without a log or notify only the state changes
    EXPECT_EQ(installer.fraction, -1.0);
}

// The test-action codes agreed with the host: the Action argument of MakeTestCommands (and of
// the decoder's BuildTestCommands). The values are the host's and never change; any other
// code gives no command lines. Hosts may include this header for the names.
#pragma once

#include <cstdint>

enum TActionCode : int32_t {
    // Calls. The 256..258 codes are a second numbering of the same three actions.
    acDial = 0,  // the parameter text is the dial string
    acHangUp = 1,
    acAnswer = 2,
    acDialAlt = 256,
    acHangUpAlt = 257,
    acAnswerAlt = 258,
    // Network, sector and channel locks.
    acSystemLock = 520,
    acSectorLock = 521,
    acSectorLockRelease = 522,
    acChannelLock = 523,
    acChannelLockRelease = 524,
    // Video-mode calls.
    acVtDial = 532,  // the parameter text is the dial string
    acVtAnswer = 533,
    acVtHangUp = 534,
    // HOPRMS settings, GERAN and WRAN, two sets each.
    acGeranHoprms1 = 542,
    acGeranHoprmsOff1 = 543,
    acGeranHoprms2 = 544,
    acGeranHoprmsOff2 = 545,
    acWranHoprms1 = 546,
    acWranHoprmsOff1 = 547,
    acWranHoprms2 = 548,
    acWranHoprmsOff2 = 549,
    // Audio tests.
    acAudioTest1 = 550,
    acAudioTest2 = 551,
    // BA-list lock.
    acBaLock = 580,
    acBaLockRelease = 581,
    // GSM and WCDMA scans.
    acGsmScanStart = 590,
    acGsmScanStop = 591,
    acWcdmaScanStart = 592,
    acWcdmaScanStop = 593,
};

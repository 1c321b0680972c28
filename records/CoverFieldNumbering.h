// The host's numbering of coverage fields: one enumeration per radio technology family
// (GSM, CDMA, PHS), each stored in one unsigned byte with consecutive ordinals from 0, the
// list and array types built on them, the names of the types, and the names of the cell
// sets. The value names are part of the interface: each enumeration has its table of names in
// ordinal order and a lookup that returns nullptr for an ordinal out of range. This library
// only declares the numbering; nothing in it indexes or converts fields by these numbers.
//
// Each enumeration and its table of names are generated from one list below (X(name) per
// value, in ordinal order), so they cannot drift apart; the counts are the host's and are
// checked against the lists at compile time. A host may expand the lists itself.
//
// Header-only and standard library only; records/DataAccessAPIUnit.h includes it.
#pragma once

#include <cstdint>
#include <vector>

#define N95_GSM_COVER_FIELDS(X)    \
    X(gcfnARFCN)         /* 0 */   \
    X(gcfnBSIC)          /* 1 */   \
    X(gcfnRxLevFull)     /* 2 */   \
    X(gcfnRxLevSub)      /* 3 */   \
    X(gcfnRxQualFull)    /* 4 */   \
    X(gcfnRxQualSub)     /* 5 */   \
    X(gcfnFERFull)       /* 6 */   \
    X(gcfnFERSub)        /* 7 */   \
    X(gcfnBCCHLev)       /* 8 */   \
    X(gcfnMaxRxLev)      /* 9 */   \
    X(gcfnBCCHCI)        /* 10 */  \
    X(gcfnTCHCI)         /* 11 */  \
    X(gcfnTA)            /* 12 */  \
    X(gcfnTxPower)       /* 13 */  \
    X(gcfnC1)            /* 14 */  \
    X(gcfnC2)            /* 15 */  \
    X(gcfnDTX)           /* 16 */  \
    X(gcfnRxLevN1)       /* 17 */  \
    X(gcfnRxLevN2)       /* 18 */  \
    X(gcfnRxLevN3)       /* 19 */  \
    X(gcfnRxLevN4)       /* 20 */  \
    X(gcfnRxLevN5)       /* 21 */  \
    X(gcfnRxLevN6)       /* 22 */  \
    X(gcfnARFCNN1)       /* 23 */  \
    X(gcfnARFCNN2)       /* 24 */  \
    X(gcfnARFCNN3)       /* 25 */  \
    X(gcfnARFCNN4)       /* 26 */  \
    X(gcfnARFCNN5)       /* 27 */  \
    X(gcfnARFCNN6)       /* 28 */  \
    X(gcfnBSICN1)        /* 29 */  \
    X(gcfnBSICN2)        /* 30 */  \
    X(gcfnBSICN3)        /* 31 */  \
    X(gcfnBSICN4)        /* 32 */  \
    X(gcfnBSICN5)        /* 33 */  \
    X(gcfnBSICN6)        /* 34 */  \
    X(gcfnC1N1)          /* 35 */  \
    X(gcfnC1N2)          /* 36 */  \
    X(gcfnC1N3)          /* 37 */  \
    X(gcfnC1N4)          /* 38 */  \
    X(gcfnC1N5)          /* 39 */  \
    X(gcfnC1N6)          /* 40 */  \
    X(gcfnC2N1)          /* 41 */  \
    X(gcfnC2N2)          /* 42 */  \
    X(gcfnC2N3)          /* 43 */  \
    X(gcfnC2N4)          /* 44 */  \
    X(gcfnC2N5)          /* 45 */  \
    X(gcfnC2N6)          /* 46 */  \
    X(gcfnMCC)           /* 47 */  \
    X(gcfnMNC)           /* 48 */  \
    X(gcfnLAC)           /* 49 */  \
    X(gcfnRAC)           /* 50 */  \
    X(gcfnCellID)        /* 51 */  \
    X(gcfnT3212)         /* 52 */  \
    X(gcfnTCHState)      /* 53 */  \
    X(gcfnHSN)           /* 54 */  \
    X(gcfnMAIO)          /* 55 */  \
    X(gcfnTimeSlot)      /* 56 */  \
    X(gcfnChannelMode)   /* 57 */  \
    X(gcfnDSCCounter)    /* 58 */  \
    X(gcfnCurrRLT)       /* 59 */  \
    X(gcfnMaxRLT)        /* 60 */  \
    X(gcfnEDGESupport)   /* 61 */  \
    X(gcfnVoiceCodec)    /* 62 */  \
    X(gcfnBand)          /* 63 */  \
    X(gcfnServiceState)  /* 64 */  \
    X(gcfnPPPRx_Rate)    /* 65 */  \
    X(gcfnPPPTx_Rate)    /* 66 */  \
    X(gcfnIPRx_Rate)     /* 67 */  \
    X(gcfnIPTx_Rate)     /* 68 */  \
    X(gcfnTCPRx_Rate)    /* 69 */  \
    X(gcfnTCPTx_Rate)    /* 70 */  \
    X(gcfnUDPRx_Rate)    /* 71 */  \
    X(gcfnUDPTx_Rate)    /* 72 */  \
    X(gcfnICMPRx_Rate)   /* 73 */  \
    X(gcfnICMPTx_Rate)   /* 74 */  \
    X(gcfnTCPReTransmit) /* 75 */  \
    X(gcfnRLCThrUl)      /* 76 */  \
    X(gcfnRLCThrDl)      /* 77 */  \
    X(gcfnRLCRtxUl)      /* 78 */  \
    X(gcfnRLCRtxDl)      /* 79 */  \
    X(gcfnLLCThrUl)      /* 80 */  \
    X(gcfnLLCThrDl)      /* 81 */  \
    X(gcfnLLCRtxUl)      /* 82 */  \
    X(gcfnLLCRtxDl)      /* 83 */  \
    X(gcfnCSDl)          /* 84 */  \
    X(gcfnCSUl)          /* 85 */  \
    X(gcfnTSNumDl)       /* 86 */  \
    X(gcfnTSNumUl)       /* 87 */  \
    X(gcfnTSDL)          /* 88 */  \
    X(gcfnTSUL)          /* 89 */  \
    X(gcfnBLER)          /* 90 */  \
    X(gcfnGMMState)      /* 91 */  \
    X(gcfnTBFStateDL)    /* 92 */  \
    X(gcfnTBFStateUL)    /* 93 */  \
    X(gcfnTFIDL)         /* 94 */  \
    X(gcfnTFIUL)         /* 95 */  \
    X(gcfnSignVar)       /* 96 */  \
    X(gcfnRxQual)        /* 97 */  \
    X(gcfnMSPower)       /* 98 */  \
    X(gcfnCValue)        /* 99 */  \
    X(gcfnLLCWinDL)      /* 100 */ \
    X(gcfnLLCWinUL)      /* 101 */ \
    X(gcfnReBlockRateUp) /* 102 */ \
    X(gcfnGPRSState)     /* 103 */ \
    X(gcfnMACMode)       /* 104 */ \
    X(gcfnMCSUl)         /* 105 */ \
    X(gcfnMCSDl)         /* 106 */ \
    X(gcfnGMSKCVBEP)     /* 107 */ \
    X(gcfn8PSKCVBEP)     /* 108 */ \
    X(gcfnGMSKMeanBEP)   /* 109 */ \
    X(gcfn8PSKMeanBEP)   /* 110 */ \
    X(gcfnEGPRSWinDL)    /* 111 */ \
    X(gcfnEGPRSWinUL)    /* 112 */ \
    X(gcfnTsDirection1)  /* 113 */ \
    X(gcfnTsDirection2)  /* 114 */ \
    X(gcfnTsDirection3)  /* 115 */ \
    X(gcfnTsDirection4)  /* 116 */ \
    X(gcfnTsDirection5)  /* 117 */ \
    X(gcfnTsDirection6)  /* 118 */ \
    X(gcfnTsIndex1)      /* 119 */ \
    X(gcfnTsIndex2)      /* 120 */ \
    X(gcfnTsIndex3)      /* 121 */ \
    X(gcfnTsIndex4)      /* 122 */ \
    X(gcfnTsIndex5)      /* 123 */ \
    X(gcfnTsIndex6)      /* 124 */ \
    X(gcfnTsCSMCS1)      /* 125 */ \
    X(gcfnTsCSMCS2)      /* 126 */ \
    X(gcfnTsCSMCS3)      /* 127 */ \
    X(gcfnTsCSMCS4)      /* 128 */ \
    X(gcfnTsCSMCS5)      /* 129 */ \
    X(gcfnTsCSMCS6)      /* 130 */ \
    X(gcfnPESQScore)     /* 131 */ \
    X(gcfnPESQLQ)        /* 132 */ \
    X(gcfnPESQMos)       /* 133 */ \
    X(gcfnVideoMos)      /* 134 */ \
    X(gcfnPingDelay)     /* 135 */ \
    X(gcfnFTPDownload)   /* 136 */ \
    X(gcfnFTPUpload)     /* 137 */ \
    X(gcfnHTTPDownload)  /* 138 */ \
    X(gcfnHTTPUpload)    /* 139 */ \
    X(gcfnEMailPop3)     /* 140 */ \
    X(gcfnEMailSmtp)     /* 141 */ \
    X(gcfnTFTPDownload)  /* 142 */ \
    X(gcfnTFTPUpload)    /* 143 */ \
    X(gcfnWap)           /* 144 */ \
    X(gcfnSMS)           /* 145 */ \
    X(gcfnMMSUL)         /* 146 */ \
    X(gcfnMMSDL)         /* 147 */ \
    X(gcfnWapDL)         /* 148 */ \
    X(gcfnVideo)         /* 149 */

#define N95_CDMA_COVER_FIELDS(X)           \
    X(ccfnRxAGC)                 /* 0 */   \
    X(ccfnTxAGC)                 /* 1 */   \
    X(ccfnTxPower)               /* 2 */   \
    X(ccfnTxGainAdj)             /* 3 */   \
    X(ccfnFBER)                  /* 4 */   \
    X(ccfnFFER)                  /* 5 */   \
    X(ccfnMeasFER)               /* 6 */   \
    X(ccfnFingerLock)            /* 7 */   \
    X(ccfnActiveNum)             /* 8 */   \
    X(ccfnRefPN)                 /* 9 */   \
    X(ccfnMaxEcIoPN)             /* 10 */  \
    X(ccfnTotalEcIo)             /* 11 */  \
    X(ccfnMaxEcIo)               /* 12 */  \
    X(ccfnRefEcIo)               /* 13 */  \
    X(ccfnTotalEc)               /* 14 */  \
    X(ccfnMaxEc)                 /* 15 */  \
    X(ccfnRefEc)                 /* 16 */  \
    X(ccfnFrequency)             /* 17 */  \
    X(ccfnAdd)                   /* 18 */  \
    X(ccfnServiceState)          /* 19 */  \
    X(ccfnHandOffState)          /* 20 */  \
    X(ccfnP_REV_IN_USE)          /* 21 */  \
    X(ccfnATModeState)           /* 22 */  \
    X(ccfnFER_fch)               /* 23 */  \
    X(ccfnFER_sch0)              /* 24 */  \
    X(ccfnFER_sch1)              /* 25 */  \
    X(ccfnFER_dcch)              /* 26 */  \
    X(ccfnspt_fch)               /* 27 */  \
    X(ccfnspt_sch0)              /* 28 */  \
    X(ccfnspt_sch1)              /* 29 */  \
    X(ccfnspt_dcch)              /* 30 */  \
    X(ccfnr_fch_pwr)             /* 31 */  \
    X(ccfnr_sch0_pwr)            /* 32 */  \
    X(ccfnr_sch1_pwr)            /* 33 */  \
    X(ccfnr_dcch_pwr)            /* 34 */  \
    X(ccfnRlpRx_Rate)            /* 35 */  \
    X(ccfnRlpTx_Rate)            /* 36 */  \
    X(ccfnRlpErr_Rate)           /* 37 */  \
    X(ccfnRlpRTX_Rate)           /* 38 */  \
    X(ccfnPhysRx_Rate)           /* 39 */  \
    X(ccfnPhysTx_Rate)           /* 40 */  \
    X(ccfnPPPRx_Rate)            /* 41 */  \
    X(ccfnPPPTx_Rate)            /* 42 */  \
    X(ccfnIPRx_Rate)             /* 43 */  \
    X(ccfnIPTx_Rate)             /* 44 */  \
    X(ccfnTCPRx_Rate)            /* 45 */  \
    X(ccfnTCPTx_Rate)            /* 46 */  \
    X(ccfnUDPRx_Rate)            /* 47 */  \
    X(ccfnUDPTx_Rate)            /* 48 */  \
    X(ccfnICMPRx_Rate)           /* 49 */  \
    X(ccfnICMPTx_Rate)           /* 50 */  \
    X(ccfnTCPReTransmit)         /* 51 */  \
    X(ccfnEV_RxAGC0)             /* 52 */  \
    X(ccfnEV_RxAGC1)             /* 53 */  \
    X(ccfnEV_TxAGC)              /* 54 */  \
    X(ccfnTxPilotPower)          /* 55 */  \
    X(ccfnTxOpenLoopPower)       /* 56 */  \
    X(ccfnTxClosedLoopAdjust)    /* 57 */  \
    X(ccfnTotalC_I)              /* 58 */  \
    X(ccfnTotalSINR)             /* 59 */  \
    X(ccfnDRC_Index)             /* 60 */  \
    X(ccfnDRC_Value)             /* 61 */  \
    X(ccfnDRC_Cover)             /* 62 */  \
    X(ccfnActiveCount)           /* 63 */  \
    X(ccfnEV_Frequency)          /* 64 */  \
    X(ccfnBand)                  /* 65 */  \
    X(ccfnServingSectorPN)       /* 66 */  \
    X(ccfnUATI)                  /* 67 */  \
    X(ccfnEV_RxRLPThroughput)    /* 68 */  \
    X(ccfnEV_RxRLPThrInstant)    /* 69 */  \
    X(ccfnEV_TxRLPThroughput)    /* 70 */  \
    X(ccfnEV_TxRLPThrInstant)    /* 71 */  \
    X(ccfnEV_Duplicate_Rate)     /* 72 */  \
    X(ccfnEV_RLPErrorRate)       /* 73 */  \
    X(ccfnEV_RLPRtxRate)         /* 74 */  \
    X(ccfnEV_RxPacketThroughput) /* 75 */  \
    X(ccfnEV_RxPktThrInstant)    /* 76 */  \
    X(ccfnEV_RxPktThrServed)     /* 77 */  \
    X(ccfnEV_TxPacketThroughput) /* 78 */  \
    X(ccfnEV_RxPER)              /* 79 */  \
    X(ccfnEV_TxPER)              /* 80 */  \
    X(ccfnSessionState)          /* 81 */  \
    X(ccfnATState)               /* 82 */  \
    X(ccfnALMPState)             /* 83 */  \
    X(ccfnInitState)             /* 84 */  \
    X(ccfnIdleState)             /* 85 */  \
    X(ccfnOverheadState)         /* 86 */  \
    X(ccfnConnectedState)        /* 87 */  \
    X(ccfnRouteUpdateState)      /* 88 */  \
    X(ccfnHDRHybridModeState)    /* 89 */  \
    X(ccfnEVVersion)             /* 90 */  \
    X(ccfnDedicateUserCount)     /* 91 */  \
    X(ccfnMACIndex)              /* 92 */  \
    X(ccfnRxSuPacketThroughput)  /* 93 */  \
    X(ccfnEV_RxPktThrInstantSU)  /* 94 */  \
    X(ccfnEV_RxPktThrServedSU)   /* 95 */  \
    X(ccfnRxMuPacketThroughput)  /* 96 */  \
    X(ccfnEV_RxPktThrInstantMU)  /* 97 */  \
    X(ccfnEV_RxPktThrServedMU)   /* 98 */  \
    X(ccfnRxSuPER)               /* 99 */  \
    X(ccfnRxMuPER)               /* 100 */ \
    X(ccfnTxMode)                /* 101 */ \
    X(ccfnDRC2Pilot)             /* 102 */ \
    X(ccfnRRI2Pilot)             /* 103 */ \
    X(ccfnDSC2Pilot)             /* 104 */ \
    X(ccfnData2Pilot)            /* 105 */ \
    X(ccfnAux2Pilot)             /* 106 */ \
    X(ccfnMaxT2P)                /* 107 */ \
    X(ccfnDSC)                   /* 108 */ \
    X(ccfnTxPacketSize)          /* 109 */ \
    X(ccfnPESQScore)             /* 110 */ \
    X(ccfnPESQLQ)                /* 111 */ \
    X(ccfnPESQMos)               /* 112 */ \
    X(ccfnVideoMos)              /* 113 */ \
    X(ccfnPingDelay)             /* 114 */ \
    X(ccfnFTPDownload)           /* 115 */ \
    X(ccfnFTPUpload)             /* 116 */ \
    X(ccfnHTTPDownload)          /* 117 */ \
    X(ccfnHTTPUpload)            /* 118 */ \
    X(ccfnEMailPop3)             /* 119 */ \
    X(ccfnEMailSmtp)             /* 120 */ \
    X(ccfnTFTPDownload)          /* 121 */ \
    X(ccfnTFTPUpload)            /* 122 */ \
    X(ccfnWap)                   /* 123 */ \
    X(ccfnSMS)                   /* 124 */ \
    X(ccfnMMSUL)                 /* 125 */ \
    X(ccfnMMSDL)                 /* 126 */ \
    X(ccfnWapDL)                 /* 127 */ \
    X(ccfnVideo)                 /* 128 */

#define N95_PHS_COVER_FIELDS(X) \
    X(pcfnPower)     /* 0 */    \
    X(pcfnPESQScore) /* 1 */    \
    X(pcfnPESQLQ)    /* 2 */    \
    X(pcfnPESQMos)   /* 3 */    \
    X(pcfnVideoMos)  /* 4 */

#define N95_COVER_FIELD_ENUMERATOR(name) name,
#define N95_COVER_FIELD_NAME(name) #name,

enum TGSMCoverFieldNo : uint8_t { N95_GSM_COVER_FIELDS(N95_COVER_FIELD_ENUMERATOR) };
enum TCDMACoverFieldNo : uint8_t { N95_CDMA_COVER_FIELDS(N95_COVER_FIELD_ENUMERATOR) };
enum TPHSCoverFieldNo : uint8_t { N95_PHS_COVER_FIELDS(N95_COVER_FIELD_ENUMERATOR) };

// Ordinals 0..149.
constexpr unsigned GSMCoverFieldCount = 150;
// Ordinals 0..128.
constexpr unsigned CDMACoverFieldCount = 129;
// Ordinals 0..4.
constexpr unsigned PHSCoverFieldCount = 5;

static_assert(sizeof(TGSMCoverFieldNo) == 1 && gcfnVideo + 1u == GSMCoverFieldCount);
static_assert(sizeof(TCDMACoverFieldNo) == 1 && ccfnVideo + 1u == CDMACoverFieldCount);
static_assert(sizeof(TPHSCoverFieldNo) == 1 && pcfnVideoMos + 1u == PHSCoverFieldCount);

// The value names in ordinal order ("gcfnARFCN", ...). A list longer than its count does not
// compile; a shorter one fails the checks above, since the last value names the count.
inline constexpr const char* const GSMCoverFieldNames[GSMCoverFieldCount] = {
    N95_GSM_COVER_FIELDS(N95_COVER_FIELD_NAME)};
inline constexpr const char* const CDMACoverFieldNames[CDMACoverFieldCount] = {
    N95_CDMA_COVER_FIELDS(N95_COVER_FIELD_NAME)};
inline constexpr const char* const PHSCoverFieldNames[PHSCoverFieldCount] = {
    N95_PHS_COVER_FIELDS(N95_COVER_FIELD_NAME)};

#undef N95_COVER_FIELD_ENUMERATOR
#undef N95_COVER_FIELD_NAME

// The name of the value with this ordinal, or nullptr when the ordinal is out of range.
constexpr const char* GSMCoverFieldName(uint8_t Ordinal) {
    return Ordinal < GSMCoverFieldCount ? GSMCoverFieldNames[Ordinal] : nullptr;
}
constexpr const char* CDMACoverFieldName(uint8_t Ordinal) {
    return Ordinal < CDMACoverFieldCount ? CDMACoverFieldNames[Ordinal] : nullptr;
}
constexpr const char* PHSCoverFieldName(uint8_t Ordinal) {
    return Ordinal < PHSCoverFieldCount ? PHSCoverFieldNames[Ordinal] : nullptr;
}

// Ordered lists of field numbers (not sets).
using TGSMCoverFieldNos = std::vector<TGSMCoverFieldNo>;
using TCDMACoverFieldNos = std::vector<TCDMACoverFieldNo>;
using TPHSCoverFieldNos = std::vector<TPHSCoverFieldNo>;

// The coverage parameter array. Its element is 8 bytes of plain data whose layout this
// library does not fix; it is carried as one opaque little-endian 64-bit word.
using TCoverageParam = uint64_t;
using TCoverageParamArray = std::vector<TCoverageParam>;
using TCoverageParamTable = std::vector<TCoverageParamArray>;
static_assert(sizeof(TCoverageParam) == 8);

// The names of the numbering's types, as the host knows them.
constexpr const char* GSMCoverFieldNoTypeName = "TGSMCoverFieldNo";
constexpr const char* CDMACoverFieldNoTypeName = "TCDMACoverFieldNo";
constexpr const char* PHSCoverFieldNoTypeName = "TPHSCoverFieldNo";
constexpr const char* GSMCoverFieldNosTypeName = "TGSMCoverFieldNos";
constexpr const char* CDMACoverFieldNosTypeName = "TCDMACoverFieldNos";
constexpr const char* PHSCoverFieldNosTypeName = "TPHSCoverFieldNos";
constexpr const char* CoverageParamArrayTypeName = "TCoverageParamArray";
constexpr const char* CoverageParamTableTypeName = "TCoverageParamTable";

// The names of the cell sets, indexed 0..5.
constexpr unsigned CellSetNameCount = 6;
inline constexpr const char* const CellSetNames[CellSetNameCount] = {
    "Active", "Candidate", "Neighbor", "Remaining", "Pre-Candidate", "Not-Reference",
};

#include "control/AtCommands.h"

#include <cstddef>
#include <iterator>

// The rows are defined before CmdList in this file, so they are constructed before it and
// destroyed after it: the list is released first, then the rows' strings.
const TCmdEntry CmdTable[93] = {
    {"D%s;", 1, "Dial"},
    {"+CHUP", 1, "Hangup call"},
    {"A", 1, "Answer"},
    {"H", 1, "Hook control"},
    {"I%s", 1, "Request identification information"},
    {"&W", 1, "Saves the User Configuration"},
    {"&F%s", 1, "Set to factory-defined configuration"},
    {"+IPR", 1, "Fixed TE data rate"},
    {"Z%s", 1, "Reset to default configuration"},
    {"S0=%s", 1, "Automatic answer"},
    {"S2=%s", 1, "Escape Sequence Control Commit"},
    {"Bi", 1, "Radio Data Rate Commit"},
    {"&C%s", 1, "Circuit 109 (Received line signal detector) behaviour"},
    {"&D%s", 1, "Circuit 108 (Data terminal ready) behaviour"},
    {"&V", 1, "Returns Settings of the Mobile"},
    {"+CBST", 1, "Select bearer service type"},
    {"+CRLP", 1, "Radio link protocol"},
    {"+CR", 1, "Service reporting control"},
    {"+CEER", 1, "Extended error report"},
    {"+CSMP", 1, "Set Text Mode Parameters"},
    {"+CPMS", 1, "Preferred Message Storage"},
    {"+CMGF", 1, "Message Format"},
    {"+CSCA", 1, "Service Centre Address"},
    {"+CMGL", 1, "List Messages"},
    {"+CMGR", 1, "Read Message"},
    {"+CMGW", 1, "Write Message to Memory"},
    {"+CMGD", 1, "Delete Message"},
    {"+CMGS", 1, "Send Message"},
    {"+CMSS", 1, "Send Message from Storage"},
    {"+CNMI", 1, "New Message Indications to TE"},
    {"+CPBS", 1, "Select phonebook memory storage"},
    {"+CPBR", 1, "Read phonebook entries"},
    {"+CPBF", 1, "Find phonebook entries"},
    {"+CPBW", 1, "Write phonebook entry"},
    {"+CGMI", 1, "Request manufacturer identification"},
    {"+CGMM", 1, "Request model identification"},
    {"+CGMR", 1, "Request revision identification"},
    {"+CGSN", 1, "Request product serial number identification"},
    {"+CSCS", 1, "Select TE character set"},
    {"+CIMI", 1, "Request international mobile subscriber identity"},
    {"E%s", 1, "Command echo"},
    {"V%s", 1, "DCE Response Format"},
    {"Q%s", 1, "Result code suppression"},
    {"+CLIR", 1, "Calling line identification restriction"},
    {"+CLIP", 1, "Calling line identification presentation"},
    {"+CPWD", 1, "Change password"},
    {"+CREG", 1, "Network registration"},
    {"+CNUM", 1, "Subscriber number"},
    {"+COPS", 1, "Operator selection"},
    {"+COLP", 1, "Connected line identification presentation"},
    {"+CHLD", 1, "Call related supplementary services"},
    {"+CLCC", 1, "List current calls"},
    {"+CPOL", 1, "Preferred operator list"},
    {"+COPN", 1, "Read operator names"},
    {"+CCFC", 1, "Call Forwarding number and conditions"},
    {"+CCWA", 1, "Call waiting"},
    {"+CMEC", 1, "Mobile Equipment control mode"},
    {"+CKPD", 1, "Keypad control"},
    {"+CMER", 1, "Mobile Equipment event reporting"},
    {"+CIND", 1, "Indicator control"},
    {"+CPAS", 1, "Phone activity status"},
    {"+CPIN", 1, "Enter PIN"},
    {"+VLS=%s", 1, "Line selection"},
    {"+VTS", 1, "DTMF and tone generation"},
    {"+CPOF", 1, "Power off"},
    {"+CALA", 1, "Alarm"},
    {"+CCLK", 1, "Clock"},
    {"+CLAC", 1, "List of all available AT commands"},
    {"+CMEE", 1, "Report Mobile Equipment error"},
    {"+CME ERROR", 1, "Mobile Equipment error result code"},
    {"+FCLASS", 1, "Select mode"},
    {"+FAE", 1, "Data/fax auto answer"},
    {"+FTS", 1, "Stop transmission and wait"},
    {"+FRS", 1, "Receive silence"},
    {"+FTM", 1, "Transmit data"},
    {"+FRM", 1, "Receive data"},
    {"+FTH", 1, "Transmit data with HDLC framing"},
    {"+FRH", 1, "Receive data with HDLC framing"},
    {"+CGDCONT", 1, "Define PDP context"},
    {"+CGQREQ", 1, "Quality of service profile (requested)"},
    {"+CGQMIN", 1, "Quality of service profile (minimum acceptable)"},
    {"+CGATT=", 1, "GPRS attach or detach"},
    {"+CGACT=", 1, "PDP context activate or deactivate"},
    {"+CGDATA", 1, "Enter data state"},
    {"+CGCLOSP", 0, "Configure local Octet Stream PAD parameters"},
    {"+CGPADDR", 1, "Show PDP address"},
    {"+CGAUTO", 0, "Automatic response to a network request for PDP"},
    {"+CGANS", 0, "Manual response to a network request for PDP context"},
    {"+CGCLASS", 0, "GPRS mobile station class"},
    {"+CGCLPAD", 0, "Configure local triple-X PAD parameters"},
    {"+CGEREP", 0, "Control unsolicited GPRS event reporting"},
    {"+CGREG", 0, "GPRS network registration status"},
    {"+CGSMS", 0, "Select service for MO SMS messages"},
};

TCmdList::TCmdList() {
    Entries.reserve(std::size(CmdTable));
    for (const TCmdEntry& row : CmdTable) {
        Entries.push_back(TCmdListEntry{row.Description, &row});
    }
}

const std::string& TCmdList::Description(int32_t Index) const {
    return Entries.at(static_cast<size_t>(Index)).Text;
}

const TCmdEntry& TCmdList::Row(int32_t Index) const {
    return *Entries.at(static_cast<size_t>(Index)).Row;
}

const TCmdList CmdList;

namespace n95 {

std::string MakeCommandLine(const TCmdEntry& Row, const std::string& Param) {
    std::string line = "AT" + Row.Template;
    const size_t slot = line.find("%s");
    if (slot != std::string::npos) {
        line.replace(slot, 2, Param);
    }
    line.push_back('\r');
    return line;
}

}  // namespace n95

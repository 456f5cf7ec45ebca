// The debugging display of a mover's initiator message.  The text is built
// whole and written in one piece, so that the displays of several transfer
// threads do not interleave.

#include "velk_MoverDisplay.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "velk_LogMsg.h"
#include "velk_StatusFifo.h"
#include "velk_Utils.h"

namespace {

void append(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void append(std::string &out, const char *fmt, ...)
{
    char line[160];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    out += line;
}

// label padded with dots to the value column, then the value.
void field(std::string &out, const char *label, const char *value)
{
    std::string padded = label;
    padded.resize(18, '.');
    append(out, "    %s %s\n", padded.c_str(), value);
}

void number(std::string &out, const char *label, uint64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64, value);
    field(out, label, text);
}

void halves(std::string &out, const char *label, uint64_t value)
{
    std::string padded = label;
    padded.resize(9, '.');
    append(out, "    %s..(high).. 0x%8.8x\n", padded.c_str(), static_cast<unsigned>(value >> 32));
    append(out, "             ..(low)..  0x%8.8x\n", static_cast<unsigned>(value & 0xffffffffu));
}

} // namespace

void velk_DisplayInitiatorMessage(int transfer, int connection, const initiator_msg_t *msg)
{
    if (msg == nullptr)
        return;
    std::string out;
    append(out, "Transfer Initiation Message - Transfer # %d Connection %d\n", transfer, connection);
    halves(out, "Delimiter", msg->Delimiter);
    char text[64];
    snprintf(text, sizeof text, "0x%x", msg->Flags);
    field(out, "Flags", text);
    append(out, "         MVRPROT_HOLD_RESOURCES = %d\n", (msg->Flags & MVRPROT_HOLD_RESOURCES) != 0 ? 1 : 0);
    append(out, "         MVRPROT_ADDR_FOLLOWS = %d\n", (msg->Flags & MVRPROT_ADDR_FOLLOWS) != 0 ? 1 : 0);
    append(out, "         MVRPROT_COMP_REPLY = %d\n", (msg->Flags & MVRPROT_COMP_REPLY) != 0 ? 1 : 0);
    number(out, "Type", msg->Type);
    number(out, "Offset", msg->Offset);
    number(out, "Length", msg->Length);
    number(out, "BlockSize", msg->BlockSize);
    number(out, "StripeWidth", msg->StripeWidth);
    number(out, "TotalLength", msg->TotalLength);
    number(out, "DevBlkSz", msg->DevBlkSz);
    number(out, "DevBlkOff", msg->DevBlkOff);
    const char *algo = velk_CksumTypeToString(static_cast<int>(msg->DevCRCAlgo));
    snprintf(text, sizeof text, "%u (%s)", msg->DevCRCAlgo, algo != nullptr ? algo : "unknown");
    field(out, "DevCRCAlgo", text);
    snprintf(text, sizeof text, "0x%16.16" PRIx64, msg->SecurityTicket);
    append(out, "    SecurityTicket.... %s\n", text);
    halves(out, "CheckSum", msg->CheckSum);
    velk_LockListingFile();
    velk_ErrPrintf("%s", out.c_str());
    velk_UnlockListingFile();
}

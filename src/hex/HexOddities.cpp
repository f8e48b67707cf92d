// The converter's leniencies in words, and FindOddities for callers that only want to look at a
// file: the notes come from the converter's own checking pass (see HexNoticeScan.h), so what is
// reported and what is converted can never disagree about where a record starts or stops.
#include "hex/Chex2bin.h"

namespace quillon::hex {

const char* DescribeOddity(HexOddity kind) {
    switch (kind) {
        case HexOddity::TypeBySecondDigit:
            return "record type read by its second digit only (for example 10 or A0 taken as data)";
        case HexOddity::DigitsAfterChecksum: return "hex digits after a record's checksum, ignored";
        case HexOddity::AddressRecordLength: return "address record of a non-standard length";
        case HexOddity::OverlappingRecords: return "data records overlap; the later one wins";
        case HexOddity::TextBetweenRecords: return "text outside the records, ignored";
    }
    return "odd HEX file";
}

std::vector<HexNotice> FindOddities(std::string_view text) {
    // Measuring only: the checking pass runs, no image is built.
    CHex2Bin converter;
    converter.CollectNotices = true;
    std::uint32_t length = 0;
    converter.ConvertText(text, &length);
    return std::move(converter.Notices);
}

}  // namespace quillon::hex

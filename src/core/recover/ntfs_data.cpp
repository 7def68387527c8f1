#include "recover/ntfs_data.h"

#include <algorithm>

#include "disk/sector_reader.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_header.h"
#include "records/items.h"

namespace qvx::recover {

namespace {


/// Extension records through a fetcher, attribute lists from the volume.
class Source : public ntfs::MftFileSource {
public:
    Source(const NtfsVolume& volume, RecordFetcher fetch) : m_volume(volume), m_fetch(fetch) {}

    bool readExtension(std::uint64_t n, std::vector<std::uint8_t>& out) override {
        if (m_fetch == nullptr || n > UINT32_MAX) return false;
        out = m_fetch(m_volume, static_cast<std::uint32_t>(n));
        return !out.empty();
    }

    bool readRuns(const std::vector<ntfs::Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) override {
        return ntfs::readRunBytes(m_volume.range, m_volume.cluster0, m_volume.sectorsPerCluster, runs, bytes, out);
    }

private:
    const NtfsVolume& m_volume;
    RecordFetcher m_fetch;
};

std::vector<std::uint8_t> fetchFromVolume(const NtfsVolume& volume, std::uint32_t recordNumber) {
    return readMftRecord(volume, recordNumber);
}

}  // namespace

FileLayout layoutOfStream(const NtfsVolume& volume, const ntfs::DataStream& s, bool& encrypted) {
    FileLayout layout;
    encrypted = (s.flags & ntfs::kAttrFlagEncrypted) != 0;
    if (s.resident) {
        layout.resident = true;
        layout.residentData = s.residentData;
        layout.size = s.residentData.size();
        return layout;
    }
    layout.size = s.dataSize;
    layout.initializedSize = s.initializedSize;
    const std::uint32_t spc = volume.sectorsPerCluster;
    if ((s.flags & ntfs::kAttrFlagCompressedMask) != 0 && s.compressionUnit > 0 && s.compressionUnit <= 8)
        layout.compressionUnitSectors = (1u << s.compressionUnit) * spc;
    for (const ntfs::Run& r : s.runs)
        layout.append(Extent{r.sparse ? 0 : volume.cluster0 + r.lcn * spc, r.clusters * spc, r.sparse});
    return layout;
}

std::vector<std::uint8_t> readMftRecord(const NtfsVolume& volume, std::uint64_t recordNumber) {
    const std::uint32_t bytes = volume.recordBytes();
    std::vector<std::uint8_t> rec(bytes, 0);
    bool found = false;
    if (volume.recordSectors != nullptr) {
        const auto it = std::lower_bound(volume.recordSectors->begin(), volume.recordSectors->end(),
                                         std::pair<std::uint64_t, std::uint64_t>{recordNumber, 0});
        if (it != volume.recordSectors->end() && it->first == recordNumber && it->second != 0) {
            (void)volume.range.readCounted(it->second, bytes / disk::kSectorSize, rec.data());
            found = ntfs::isFileRecord(rec);
        }
    }
    if (!found && volume.mft != nullptr) {
        (void)volume.mft->readRecord(volume.range, recordNumber, rec);
        found = ntfs::isFileRecord(rec);
    }
    if (!found) return {};
    (void)ntfs::applyFixup(rec, rec.size());
    return rec;
}

NtfsFileData readNtfsFileData(const NtfsVolume& volume, std::uint64_t recordNumber, std::string_view stream) {
    const std::vector<std::uint8_t> rec = readMftRecord(volume, recordNumber);
    if (rec.empty()) {
        NtfsFileData data;
        data.complete = false;
        data.problem = "the MFT record could not be read";
        return data;
    }
    // An extension record (its base reference names another record) holds
    // only some attributes of a file: the data is found from the base.
    ntfs::MftHeader header;
    if (ntfs::parseMftHeader(rec, header).ok() && header.isExtension() && header.base.record != recordNumber) {
        const std::vector<std::uint8_t> baseRec = readMftRecord(volume, header.base.record);
        if (!baseRec.empty()) return decodeNtfsFileData(volume, baseRec, header.base.record, &fetchFromVolume, stream);
    }
    return decodeNtfsFileData(volume, rec, recordNumber, &fetchFromVolume, stream);
}

NtfsFileData decodeNtfsFileData(const NtfsVolume& volume, std::span<const std::uint8_t> record,
                                std::uint64_t recordNumber, RecordFetcher fetch, std::string_view stream) {
    NtfsFileData data;
    Source source(volume, fetch);
    ntfs::MftFile file;
    const util::Bytes bytes(record.data(), record.size());
    if (!ntfs::decodeMftFile(bytes, recordNumber, 0, &source, volume.volumeClusters, file).ok()) {
        data.complete = false;
        data.problem = "not an MFT record";
        return data;
    }
    if (const ntfs::NamedFileName* n = file.bestName()) data.name = n->name;
    if (file.hasStandardInformation && file.standardInformation.times.modified > 0) {
        data.hasModified = true;
        data.modifiedUnix = records::fileTimeToUnixUtc(file.standardInformation.times.modified);
        data.accessedUnix = records::fileTimeToUnixUtc(file.standardInformation.times.accessed);
    }
    if (!file.extensionsComplete) {
        data.complete = false;
        data.problem = file.problem;
    }
    const ntfs::DataStream* s = file.stream(stream);
    if (s == nullptr && !stream.empty()) {
        // A named index ($Secure:$SDH) is listed like a stream: its root.
        for (const ntfs::MftFile::NamedIndex& index : file.namedIndexes) {
            if (index.name != stream) continue;
            data.found = true;
            data.layout.resident = true;
            data.layout.residentData = index.root;
            data.layout.size = index.root.size();
            return data;
        }
    }
    if (s == nullptr) {
        data.complete = false;
        if (data.problem.empty()) data.problem = stream.empty() ? "no unnamed data attribute" : "no such stream";
        return data;
    }
    data.found = true;
    data.layout = layoutOfStream(volume, *s, data.encrypted);
    if (!s->complete) {
        data.complete = false;
        data.problem = s->problem;
    }
    if (data.encrypted) {
        data.complete = false;
        data.problem = "encrypted; written as stored on the disk";
    }
    if (!data.layout.resident && data.layout.extentBytes() < data.layout.size && data.complete) {
        data.complete = false;
        data.problem = "the run list covers less than the file's size";
    }
    return data;
}

}  // namespace qvx::recover

#include "ntfs/mft_run_table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ntfs/attribute.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_header.h"
#include "ntfs/run_list.h"
#include "util/background_task.h"
#include "util/page_aligned.h"

namespace qvx::ntfs {

namespace {

constexpr std::uint32_t kSectorBytes = 512;

/// Reads the next chunk of the MFT while the records of this one are
/// decoded, on one thread kept for the whole walk.
class ChunkReadAhead {
public:
    explicit ChunkReadAhead(const partition::VolumeRange& volume) : m_volume(volume) {}

    /// Starts reading count sectors at lba into into, then showing them to
    /// after when all were read; none may be going.
    void start(std::uint64_t lba, std::uint32_t count, std::uint8_t* into, const MftRunTable::ChunkVisitor* after) {
        m_lba = lba;
        m_count = count;
        m_task.start([this, lba, count, into, after] {
            m_bad = m_volume.readCounted(lba, count, into);
            if (m_bad == 0 && after != nullptr && *after)
                (*after)(std::span<const std::uint8_t>(into, std::size_t{count} * kSectorBytes));
        });
    }
    /// A read was started and not yet waited for.
    bool going() const { return m_task.going(); }
    std::uint64_t lba() const { return m_lba; }
    std::uint32_t count() const { return m_count; }
    /// Waits for the read started: its unreadable sectors.
    std::uint32_t wait() {
        m_task.wait();
        return m_bad;
    }

private:
    const partition::VolumeRange& m_volume;
    std::uint64_t m_lba = 0;
    std::uint32_t m_count = 0;
    std::uint32_t m_bad = 0;  // written by the task, read once it is waited for
    util::BackgroundTask m_task;
};
// Sectors read per request while walking the MFT (1 MiB).
constexpr std::uint32_t kWalkChunkSectors = 2048;
// Bound on the extension records of the MFT's own data.
constexpr std::size_t kMaxExtensionRecords = 4096;

struct DataInstance {
    std::uint64_t startVcn = 0;
    std::vector<Run> runs;
};

/// The unnamed non-resident $DATA instances of a record (fixup applied).
util::DecodeResult collectDataInstances(util::Bytes record, std::uint64_t volumeClusters,
                                        std::vector<DataInstance>& out, std::vector<std::uint8_t>* listValue,
                                        const partition::VolumeRange* volume, std::uint64_t volumeStart,
                                        std::uint32_t sectorsPerCluster) {
    MftHeader header;
    util::DecodeResult r = parseMftHeader(record, header);
    if (!r.ok()) return r;
    util::DecodeResult runProblem;
    r = forEachAttribute(record, header, [&](const Attribute& a) {
        if (a.type == kAttrData && !a.named() && a.nonResident) {
            DataInstance inst;
            inst.startVcn = a.startVcn;
            std::uint64_t vcns = 0;
            util::DecodeResult rl = decodeRunList(a.runList(), a.startVcn, volumeClusters, inst.runs, vcns);
            if (rl.corrupt() && runProblem.ok()) runProblem = rl;
            out.push_back(std::move(inst));
        } else if (a.type == kAttrList && listValue != nullptr) {
            if (!a.nonResident) {
                listValue->assign(a.value.begin(), a.value.end());
            } else if (volume != nullptr) {
                std::vector<Run> runs;
                std::uint64_t vcns = 0;
                (void)decodeRunList(a.runList(), 0, volumeClusters, runs, vcns);
                (void)readRunBytes(*volume, volumeStart, sectorsPerCluster, runs,
                                   std::min(a.dataSize, kMaxAttributeListBytes), *listValue);
            }
        }
        return true;
    });
    if (r.ok() && runProblem.corrupt()) return runProblem;
    return r;
}

}  // namespace

void MftRunTable::setRecordBytes(std::uint32_t bytes) {
    // 1, 2 and 4 KiB are the sizes in use; anything else is damage.
    m_recordBytes = bytes == 1024 || bytes == 2048 || bytes == 4096 ? bytes : kDefaultRecordBytes;
}

bool MftRunTable::appendExtent(std::uint64_t lba, std::uint64_t sectors, bool sparse) {
    if (sectors == 0 || m_extents.size() >= kMaxRuns) return true;
    Extent e{sparse ? 0 : lba, sectors, !sparse};
    bool overlapped = false;
    if (!sparse) {
        for (const Extent& other : m_extents) {
            if (!other.usable) continue;
            if (lba < other.lba + other.sectors && other.lba < lba + sectors) {
                overlapped = true;
                break;
            }
        }
    }
    if (overlapped) e.usable = false;
    if (!m_extents.empty()) {
        Extent& last = m_extents.back();
        if (e.usable && last.usable && last.lba + last.sectors == e.lba) {
            last.sectors += sectors;
            m_totalSectors += sectors;
            return true;
        }
    }
    m_extents.push_back(e);
    m_totalSectors += sectors;
    return !overlapped;
}

util::DecodeResult MftRunTable::appendRunList(util::Bytes buffer, std::size_t offset, std::uint64_t volumeStart,
                                              std::uint32_t sectorsPerCluster, std::uint64_t volumeClusters) {
    if (offset > buffer.size() || sectorsPerCluster == 0) return util::DecodeResult::corruptBecause("no run list");
    std::vector<Run> runs;
    std::uint64_t vcns = 0;
    util::DecodeResult r = decodeRunList(buffer.subspan(offset), 0, volumeClusters, runs, vcns);
    bool overlapped = false;
    for (const Run& run : runs)
        overlapped |= !appendExtent(volumeStart + run.lcn * sectorsPerCluster, run.clusters * sectorsPerCluster, run.sparse) &&
                      !run.sparse;
    if (r.ok() && overlapped) return util::DecodeResult::corruptBecause("the $MFT's runs overlap");
    return r;
}

std::uint64_t MftRunTable::recordSector(std::uint64_t recordNumber) const {
    const std::uint64_t target = recordNumber * (m_recordBytes / kSectorBytes);
    if (recordNumber > (UINT64_MAX / m_recordBytes)) return 0;
    std::uint64_t before = 0;
    for (const Extent& e : m_extents) {
        if (target < before + e.sectors) return e.usable ? e.lba + (target - before) : 0;
        before += e.sectors;
    }
    return 0;
}

std::uint32_t MftRunTable::readRecord(const partition::VolumeRange& volume, std::uint64_t recordNumber,
                                      std::span<std::uint8_t> out) const {
    return readRecords(volume, recordNumber, 1, out);
}

std::uint32_t MftRunTable::readRecords(const partition::VolumeRange& volume, std::uint64_t firstRecord,
                                       std::uint32_t count, std::span<std::uint8_t> out) const {
    const std::uint32_t recordSectors = m_recordBytes / kSectorBytes;
    const std::uint64_t sectors = std::uint64_t{recordSectors} * count;
    const std::size_t bytes = std::min<std::size_t>(out.size(), std::size_t{m_recordBytes} * count);
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (firstRecord > (UINT64_MAX / m_recordBytes) / 2) return static_cast<std::uint32_t>(sectors);
    std::uint64_t target = firstRecord * recordSectors;
    std::uint64_t done = 0;
    std::uint64_t bad = 0;
    std::uint64_t before = 0;
    for (const Extent& e : m_extents) {
        if (done == sectors) break;
        if (target >= before + e.sectors) {
            before += e.sectors;
            continue;
        }
        const std::uint64_t offset = target - before;
        const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - done, e.sectors - offset));
        if (e.usable && (done + take) * kSectorBytes <= bytes) {
            bad += volume.readCounted(e.lba + offset, take, out.data() + done * kSectorBytes);
        } else {
            bad += take;
        }
        done += take;
        target += take;
        before += e.sectors;
    }
    return static_cast<std::uint32_t>(bad + (sectors - done));
}

bool MftRunTable::forEachRecord(const partition::VolumeRange& volume, std::stop_token stop, const RecordVisitor& visit,
                                const SkipVisitor* skipped, std::span<const std::uint8_t>* following,
                                const ChunkVisitor* readAhead) const {
    const std::uint32_t recordSectors = m_recordBytes / kSectorBytes;
    util::PageAlignedBytes chunk(std::size_t{kWalkChunkSectors} * kSectorBytes);
    // The next chunk of an extent is read on another thread while the
    // records of this one are decoded: the disk (or the page cache's copy)
    // and the decoding then overlap instead of taking turns.
    util::PageAlignedBytes ahead;
    ChunkReadAhead pending(volume);  // declared after its buffer: waited for before the buffer goes
    std::vector<std::uint8_t> badSectors;  // per sector of the chunk, only when some failed
    std::vector<std::uint8_t> carry(m_recordBytes);
    std::uint32_t carrySectors = 0;  // sectors of the straddling record gathered so far
    std::uint64_t carryLba = 0;
    std::uint32_t carryBad = 0;
    std::uint64_t n = 0;

    // Sectors past the volume's last one cannot be read: a damaged run list
    // may name billions of them.
    auto readableAt = [&volume](const Extent& e, std::uint64_t lba) {
        return e.usable && (volume.SectorRangeEnd == 0 || lba <= volume.SectorRangeEnd);
    };
    for (const Extent& e : m_extents) {
        std::uint64_t s = 0;
        while (s < e.sectors) {
            if (stop.stop_requested()) return false;
            const std::uint64_t lba = e.lba + s;
            const bool readable = readableAt(e, lba);
            if (!readable && carrySectors == 0 && skipped != nullptr) {
                const std::uint64_t whole = (e.sectors - s) / recordSectors;
                if (whole != 0) {
                    (*skipped)(n, whole, e.usable ? lba : 0);
                    n += whole;
                    s += whole * recordSectors;
                    continue;
                }
            }
            const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kWalkChunkSectors, e.sectors - s));
            badSectors.clear();
            if (readable) {
                std::uint32_t bad = 0;
                if (pending.going() && pending.lba() == lba && pending.count() == count) {
                    bad = pending.wait();
                    chunk.swap(ahead);
                } else {
                    if (pending.going()) (void)pending.wait();
                    bad = volume.readCounted(lba, count, chunk.data());
                }
                const std::uint64_t next = s + count;
                if (next < e.sectors && readableAt(e, e.lba + next)) {
                    ahead.resize(chunk.size());
                    pending.start(e.lba + next,
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(kWalkChunkSectors, e.sectors - next)),
                                  ahead.data(), readAhead);
                }
                if (bad != 0) {
                    // Find which sectors are missing, so each record is told.
                    badSectors.assign(count, 0);
                    for (std::uint32_t i = 0; i < count; ++i)
                        badSectors[i] = volume.readCounted(lba + i, 1, chunk.data() + std::size_t{i} * kSectorBytes) != 0;
                }
            } else {
                std::memset(chunk.data(), 0, std::size_t{count} * kSectorBytes);
                badSectors.assign(count, 1);
            }
            auto badIn = [&](std::uint32_t from, std::uint32_t len) {
                if (badSectors.empty()) return std::uint32_t{0};
                std::uint32_t b = 0;
                for (std::uint32_t i = from; i < from + len; ++i) b += badSectors[i];
                return b;
            };
            std::uint32_t i = 0;
            while (i < count) {
                if (carrySectors != 0) {
                    const std::uint32_t take = std::min(recordSectors - carrySectors, count - i);
                    std::memcpy(carry.data() + std::size_t{carrySectors} * kSectorBytes,
                                chunk.data() + std::size_t{i} * kSectorBytes, std::size_t{take} * kSectorBytes);
                    carryBad += badIn(i, take);
                    carrySectors += take;
                    i += take;
                    if (carrySectors == recordSectors) {
                        if (following != nullptr) *following = {};
                        visit(n++, carry, carryLba, carryBad);
                        carrySectors = 0;
                        carryBad = 0;
                    }
                } else if (count - i >= recordSectors) {
                    if (following != nullptr) {
                        const std::size_t after = std::size_t{i + recordSectors} * kSectorBytes;
                        const std::size_t whole = std::size_t{(count - i - recordSectors) / recordSectors} * m_recordBytes;
                        *following = badSectors.empty() ? std::span<const std::uint8_t>(chunk.data() + after, whole)
                                                        : std::span<const std::uint8_t>();
                    }
                    visit(n++, std::span<std::uint8_t>(chunk.data() + std::size_t{i} * kSectorBytes, m_recordBytes),
                          e.usable ? lba + i : 0, badIn(i, recordSectors));
                    i += recordSectors;
                } else {
                    carryLba = e.usable ? lba + i : 0;
                    carrySectors = count - i;
                    std::memcpy(carry.data(), chunk.data() + std::size_t{i} * kSectorBytes,
                                std::size_t{carrySectors} * kSectorBytes);
                    carryBad = badIn(i, carrySectors);
                    i = count;
                }
            }
            s += count;
        }
    }
    return true;
}

util::DecodeResult MftRunTable::buildMftRunTable(const partition::VolumeRange& volume, std::uint64_t volumeStart,
                                                 std::uint64_t mftSector, std::uint32_t sectorsPerCluster,
                                                 std::uint64_t mirrorSector, util::Diagnostics* diagnostics) {
    clear();
    m_buildTried = true;
    if (sectorsPerCluster == 0) return util::DecodeResult::corruptBecause("no cluster size");
    const std::uint64_t end = std::max(volume.SectorRangeEnd, volume.ClaimedEnd);
    const std::uint64_t volumeClusters =
        end >= volume.SectorRangeStart && end != 0 ? (end - volume.SectorRangeStart + 1) / sectorsPerCluster : 0;
    const std::uint32_t recordSectors = m_recordBytes / kSectorBytes;
    std::vector<std::uint8_t> record(m_recordBytes);
    auto report = [&](const util::DecodeResult& r, std::uint64_t number, std::uint64_t lba) {
        if (diagnostics != nullptr && r.corrupt())
            diagnostics->add(util::Problem::CorruptRecord, 1, number, lba, r.reason);
    };
    auto readAt = [&](std::uint64_t lba) {
        const std::uint32_t bad = volume.readCounted(lba, recordSectors, record.data());
        if (bad != 0 && diagnostics != nullptr) diagnostics->add(util::Problem::UnreadableSectors, bad, 0, lba);
        if (!isFileRecord(record)) return false;
        const FixupResult fix = applyFixup(record, record.size());
        if (fix.torn() && diagnostics != nullptr)
            diagnostics->add(util::Problem::TornRecord, 1, 0, lba + fix.firstTorn);
        return true;
    };

    std::uint64_t baseLba = mftSector;
    if (!readAt(mftSector)) {
        if (mirrorSector == 0 || !readAt(mirrorSector))
            return util::DecodeResult::corruptBecause("record 0 of the MFT is not a FILE record");
        baseLba = mirrorSector;
    }
    std::vector<DataInstance> instances;
    std::vector<std::uint8_t> listValue;
    util::DecodeResult result = collectDataInstances(record, volumeClusters, instances, &listValue, &volume,
                                                     volumeStart, sectorsPerCluster);
    report(result, 0, baseLba);

    auto appendInstances = [&](MftRunTable& table, std::vector<DataInstance>& list) {
        std::stable_sort(list.begin(), list.end(),
                         [](const DataInstance& a, const DataInstance& b) { return a.startVcn < b.startVcn; });
        std::uint64_t expected = 0;
        bool overlapped = false;
        for (const DataInstance& inst : list) {
            if (inst.startVcn < expected) continue;  // a duplicate piece
            if (inst.startVcn > expected)
                (void)table.appendExtent(0, (inst.startVcn - expected) * sectorsPerCluster, true);
            for (const Run& run : inst.runs) {
                overlapped |= !table.appendExtent(volumeStart + run.lcn * sectorsPerCluster,
                                                  run.clusters * sectorsPerCluster, run.sparse) && !run.sparse;
                expected = run.vcn + run.clusters;
            }
        }
        return overlapped;
    };

    // A large MFT keeps further runs of its data in extension records named
    // by its attribute list; they are located through the runs known so far.
    std::vector<std::uint64_t> extensions;
    if (!listValue.empty()) {
        std::vector<AttributeListEntry> entries;
        (void)decodeAttributeList(listValue, entries);
        for (const AttributeListEntry& e : entries) {
            if (e.type != kAttrData || e.named() || e.holder.record == 0) continue;
            if (std::find(extensions.begin(), extensions.end(), e.holder.record) == extensions.end() &&
                extensions.size() < kMaxExtensionRecords)
                extensions.push_back(e.holder.record);
        }
    }
    if (!extensions.empty()) {
        MftRunTable known;
        known.setRecordBytes(m_recordBytes);
        std::vector<DataInstance> first = instances;
        (void)appendInstances(known, first);
        for (std::uint64_t number : extensions) {
            const std::uint32_t bad = known.readRecord(volume, number, record);
            if (bad != 0 && diagnostics != nullptr)
                diagnostics->add(util::Problem::UnreadableRecords, 1, number, known.recordSector(number));
            if (!isFileRecord(record)) continue;
            (void)applyFixup(record, record.size());
            const util::DecodeResult r =
                collectDataInstances(record, volumeClusters, instances, nullptr, nullptr, 0, sectorsPerCluster);
            report(r, number, known.recordSector(number));
        }
    }
    if (appendInstances(*this, instances)) {
        const util::DecodeResult overlap = util::DecodeResult::corruptBecause("the $MFT's runs overlap");
        report(overlap, 0, baseLba);
        if (result.ok()) result = overlap;
    }
    if (diagnostics != nullptr && result.corrupt() && result.reason.find("run") != std::string::npos)
        diagnostics->add(util::Problem::CorruptRunList, 1, 0, baseLba, result.reason);
    return result;
}

}  // namespace qvx::ntfs

#include "ntfs/mft_file.h"

#include <algorithm>

#include "util/utf.h"

namespace qvx::ntfs {

namespace {

/// A hash of an attribute name's bytes: files with many streams compare
/// names of every piece and list entry with each other, and most pairs
/// differ already here.
std::uint64_t nameKey(util::Bytes units) {
    std::uint64_t h = 1469598103934665603ULL ^ units.size();
    for (const std::uint8_t b : units) h = (h ^ b) * 1099511628211ULL;
    return h;
}

struct Piece {
    std::vector<std::uint8_t> nameUnits;
    std::uint64_t nameKey = 0;
    std::uint64_t startVcn = 0;
    bool resident = false;
    std::vector<std::uint8_t> value;
    std::vector<Run> runs;
    std::uint64_t vcnCount = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t initializedSize = 0;
    std::uint16_t flags = 0;
    std::uint16_t compressionUnit = 0;
    std::uint16_t id = 0;
    bool ok = true;
    std::string problem;

    /// Clears the piece for another attribute, keeping its buffers.
    void reset() {
        nameUnits.clear();
        nameKey = 0;
        startVcn = 0;
        resident = false;
        value.clear();
        runs.clear();
        vcnCount = dataSize = allocatedSize = initializedSize = 0;
        flags = compressionUnit = id = 0;
        ok = true;
        problem.clear();
    }
};

/// Ids given to attributes held in extension records, by type and name (the
/// name lies in the attribute list's bytes, kept for the whole decode).
struct ExtensionId {
    std::uint32_t type;
    util::Bytes nameUnits;
    std::uint16_t id;
    std::uint64_t key;
};

/// The buffers one decode works in. A walk decodes hundreds of thousands
/// of files one after another: each thread keeps one set and reuses its
/// buffers, pieces and streams, instead of allocating them for every file.
struct Workspace {
    std::vector<Piece> pieces;  // the first `used` are this file's
    std::size_t used = 0;
    std::vector<DataStream> spareStreams;  // streams of earlier files, for their buffers
    std::vector<NamedFileName> spareNames;
    std::vector<std::uint8_t> listValue;
    std::vector<Run> listRuns;
    std::vector<Run> indexRuns;
    std::vector<AttributeListEntry> entries;
    std::vector<ExtensionId> extensionIds;
    struct Seen {
        std::uint32_t type;
        std::uint64_t key;
        util::Bytes units;
    };
    std::vector<Seen> seen;
    std::vector<std::uint64_t> holders;
    std::vector<std::uint8_t> ext;
    std::vector<std::size_t> firstOf, groupOf, order;
    std::vector<Piece*> group;
    std::vector<std::string> runProblems;
    bool busy = false;

    Piece& nextPiece() {
        if (used == pieces.size()) pieces.emplace_back();
        Piece& p = pieces[used++];
        p.reset();
        return p;
    }

    /// Starts a decode into file: its earlier streams and names give their
    /// buffers back to the spares.
    void start(MftFile& file) {
        used = 0;
        listValue.clear();
        listRuns.clear();
        entries.clear();
        extensionIds.clear();
        seen.clear();
        holders.clear();
        runProblems.clear();
        for (DataStream& s : file.streams)
            if (spareStreams.size() < kMaxSpares) spareStreams.push_back(std::move(s));
        for (NamedFileName& n : file.names)
            if (spareNames.size() < kMaxSpares) spareNames.push_back(std::move(n));
        file.clear();
    }

    /// A stream or name with every field at its default and the buffers of
    /// a spare one, emptied: a field added later starts cleared as well.
    DataStream takeStream() {
        DataStream s;
        if (spareStreams.empty()) return s;
        DataStream& old = spareStreams.back();
        reuse(s.name, old.name);
        reuse(s.residentData, old.residentData);
        reuse(s.runs, old.runs);
        reuse(s.problem, old.problem);
        spareStreams.pop_back();
        return s;
    }

    NamedFileName takeName() {
        NamedFileName n;
        if (spareNames.empty()) return n;
        reuse(n.name, spareNames.back().name);
        spareNames.pop_back();
        return n;
    }

    template <class Buffer>
    static void reuse(Buffer& into, Buffer& from) {
        into = std::move(from);
        into.clear();
    }

    /// Lets go of buffers a damaged or enormous file made large, so one
    /// such file does not keep its memory for the rest of the walk.
    void trim() {
        constexpr std::size_t kKeepBytes = 64 * 1024;
        for (std::size_t i = 0; i < used; ++i) {
            Piece& p = pieces[i];
            if (p.runs.capacity() * sizeof(Run) > kKeepBytes) std::vector<Run>().swap(p.runs);
            if (p.value.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(p.value);
        }
        if (pieces.size() > kMaxSpares) pieces.resize(kMaxSpares);
        if (listValue.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(listValue);
        if (entries.capacity() > kKeepBytes / sizeof(AttributeListEntry)) std::vector<AttributeListEntry>().swap(entries);
    }

    static constexpr std::size_t kMaxSpares = 64;
};

thread_local Workspace t_workspace;

}  // namespace

util::DecodeResult attributeListRuns(const Attribute& list, std::uint64_t volumeClusters, std::vector<Run>& runs,
                                     std::uint64_t& bytes) {
    std::uint64_t vcns = 0;
    bytes = std::min(list.dataSize, kMaxAttributeListBytes);
    return decodeRunList(list.runList(), 0, volumeClusters, runs, vcns);
}

namespace {

class Collector {
public:
    Collector(MftFile& file, std::uint64_t volumeClusters, Workspace& ws)
        : m_file(file), m_volumeClusters(volumeClusters), m_ws(ws) {}

    std::uint16_t listId() const { return m_listId; }

    /// Takes the attributes of one record; listValue receives a resident
    /// attribute list's bytes, listRuns a non-resident one's runs.

    util::DecodeResult take(util::Bytes record, const MftHeader& header, bool isBase, std::vector<std::uint8_t>* listValue,
                            std::vector<Run>* listRuns, std::uint64_t* listBytes) {
        return forEachAttribute(record, header, [&](const Attribute& a) {
            const std::uint16_t id = isBase ? a.id : extensionId(a);
            switch (a.type) {
            case kAttrStandardInformation:
                if (!a.nonResident && !m_file.hasStandardInformation &&
                    decodeStandardInformation(a.value, m_file.standardInformation).ok())
                    m_file.hasStandardInformation = true;
                break;
            case kAttrList:
                if (!isBase || listValue == nullptr) break;
                m_file.hasAttributeList = true;
                m_listId = a.id;
                if (!a.nonResident) {
                    listValue->assign(a.value.begin(), a.value.end());
                } else {
                    const util::DecodeResult r = attributeListRuns(a, m_volumeClusters, *listRuns, *listBytes);
                    if (r.corrupt()) note("the attribute list's run list: " + r.reason);
                }
                break;
            case kAttrFileName:
                if (!a.nonResident) {
                    NamedFileName n = m_ws.takeName();
                    if (decodeFileName(a.value, n.value).ok()) {
                        util::appendUtf16leAsUtf8(n.name, n.value.nameUnits);
                        n.attributeId = id;
                        n.nameUnitCount = static_cast<std::uint8_t>(std::min<std::size_t>(n.value.nameUnits.size() / 2, 255));
                        n.value.nameUnits = {};
                        m_file.names.push_back(std::move(n));
                    }
                }
                break;
            case kAttrData: {
                Piece& p = m_ws.nextPiece();
                p.nameUnits.assign(a.nameUnits.begin(), a.nameUnits.end());
                p.nameKey = nameKey(a.nameUnits);
                p.flags = a.flags;
                p.id = id;
                if (!a.nonResident) {
                    p.resident = true;
                    p.ok = a.valueFits;
                    if (!a.valueFits) p.problem = "resident data runs past the record";
                    p.value.assign(a.value.begin(), a.value.end());
                    p.dataSize = p.allocatedSize = p.initializedSize = p.value.size();
                } else {
                    p.startVcn = a.startVcn;
                    p.dataSize = a.dataSize;
                    p.allocatedSize = a.allocatedSize;
                    p.initializedSize = a.initializedSize;
                    p.compressionUnit = a.compressionUnit;
                    const util::DecodeResult r = decodeRunList(a.runList(), a.startVcn, m_volumeClusters, p.runs, p.vcnCount);
                    if (r.corrupt()) {
                        p.ok = false;
                        p.problem = "a run list is damaged: " + r.reason;
                        m_ws.runProblems.push_back(r.reason);
                    }
                }
                break;
            }
            case kAttrIndexRoot:
                if (a.nameIs("$I30") && !a.nonResident && !m_file.hasIndexRoot) {
                    m_file.hasIndexRoot = true;
                    m_file.indexRootId = id;
                    m_file.indexRootBytes = static_cast<std::uint32_t>(a.value.size());
                } else if (a.named() && !a.nameIs("$I30") && !a.nonResident &&
                           m_file.namedIndexes.size() < kMaxExtensionRecordsPerFile) {
                    m_file.namedIndexes.push_back(
                        {a.name(), std::vector<std::uint8_t>(a.value.begin(), a.value.end()), id});
                }
                break;
            case kAttrIndexAllocation:
                if (a.nameIs("$I30") && a.nonResident && m_file.indexFirstCluster == 0) {
                    std::vector<Run>& runs = m_ws.indexRuns;
                    runs.clear();
                    std::uint64_t vcns = 0;
                    (void)decodeRunList(a.runList(), 0, m_volumeClusters, runs, vcns);
                    for (const Run& r : runs)
                        if (!r.sparse) {
                            m_file.indexFirstCluster = static_cast<std::uint32_t>(r.lcn);
                            break;
                        }
                }
                break;
            default:
                break;
            }
            return true;
        });
    }

    void note(std::string problem) {
        if (m_file.problem.empty()) m_file.problem = std::move(problem);
    }

    const std::vector<std::string>& runProblems() const { return m_ws.runProblems; }

    /// Groups the pieces into streams, each in VCN order.
    void finish() {
        // Groups of pieces by name, in the order each name first appears;
        // the unnamed stream first.
        const std::size_t count = m_ws.used;
        std::vector<Piece>& pieces = m_ws.pieces;
        std::vector<std::size_t>& firstOf = m_ws.firstOf;  // the first piece of each group
        std::vector<std::size_t>& groupOf = m_ws.groupOf;
        firstOf.clear();
        groupOf.assign(count, 0);
        for (std::size_t i = 0; i < count; ++i) {
            const Piece& p = pieces[i];
            std::size_t g = 0;
            while (g < firstOf.size() &&
                   !(pieces[firstOf[g]].nameKey == p.nameKey && pieces[firstOf[g]].nameUnits == p.nameUnits))
                ++g;
            if (g == firstOf.size()) firstOf.push_back(i);
            groupOf[i] = g;
        }
        // One group at most is unnamed: it goes first, the others keep their order.
        std::vector<std::size_t>& order = m_ws.order;
        order.clear();
        for (std::size_t g = 0; g < firstOf.size(); ++g)
            if (pieces[firstOf[g]].nameUnits.empty()) order.push_back(g);
        for (std::size_t g = 0; g < firstOf.size(); ++g)
            if (!pieces[firstOf[g]].nameUnits.empty()) order.push_back(g);
        m_file.streams.reserve(m_file.streams.size() + order.size());
        std::vector<Piece*>& g = m_ws.group;
        for (const std::size_t group : order) {
            g.clear();
            for (std::size_t i = firstOf[group]; i < count; ++i)
                if (groupOf[i] == group) g.push_back(&pieces[i]);
            if (g.size() > 1)
                std::stable_sort(g.begin(), g.end(),
                                 [](const Piece* a, const Piece* b) { return a->startVcn < b->startVcn; });
            DataStream s = m_ws.takeStream();
            util::appendUtf16leAsUtf8(s.name, g.front()->nameUnits);
            Piece& first = *g.front();
            s.flags = first.flags;
            s.dataSize = first.dataSize;
            s.allocatedSize = first.allocatedSize;
            s.initializedSize = first.initializedSize;
            s.compressionUnit = first.compressionUnit;
            s.attributeId = first.id;
            if (first.resident) {
                s.resident = true;
                s.residentData.swap(first.value);  // the piece is not read again
                s.complete = first.ok;
                s.problem = first.problem;
                m_file.streams.push_back(std::move(s));
                continue;
            }
            if (first.startVcn != 0) {
                s.complete = false;
                s.problem = "the first part of the run list is missing";
            }
            std::uint64_t expected = 0;
            for (Piece* p : g) {
                if (p->resident) continue;
                if (!p->ok) {
                    s.complete = false;
                    s.problem = p->problem;
                }
                if (p->startVcn < expected) continue;  // a duplicate piece
                if (p->startVcn > expected) {
                    s.complete = false;
                    if (s.problem.empty()) s.problem = "part of the run list is missing";
                    s.runs.push_back(Run{expected, 0, p->startVcn - expected, true});
                }
                if (s.runs.empty())
                    s.runs.swap(p->runs);  // the piece is not read again
                else
                    s.runs.insert(s.runs.end(), p->runs.begin(), p->runs.end());
                expected = p->startVcn + p->vcnCount;
                if (!p->ok) break;
            }
            m_file.streams.push_back(std::move(s));
        }
    }

private:
    std::uint16_t extensionId(const Attribute& a) const {
        if (m_ws.extensionIds.empty()) return a.id;
        const std::uint64_t key = nameKey(a.nameUnits);
        for (const ExtensionId& e : m_ws.extensionIds)
            if (e.type == a.type && e.key == key && e.nameUnits.size() == a.nameUnits.size() &&
                std::equal(e.nameUnits.begin(), e.nameUnits.end(), a.nameUnits.begin()))
                return e.id;
        return a.id;
    }

    MftFile& m_file;
    std::uint64_t m_volumeClusters;
    Workspace& m_ws;
    std::uint16_t m_listId = 0;
};

}  // namespace

void MftFile::clear() {
    number = 0;
    header = MftHeader{};
    hasStandardInformation = false;
    standardInformation = StandardInformation{};
    names.clear();
    streams.clear();
    namedIndexes.clear();
    hasIndexRoot = false;
    indexRootId = 0;
    indexRootBytes = 0;
    indexFirstCluster = 0;
    hasAttributeList = false;
    extensionsComplete = true;
    problem.clear();
}

const NamedFileName* MftFile::bestName() const {
    const NamedFileName* best = nullptr;
    int bestRank = 99;
    for (const NamedFileName& n : names) {
        const int rank = nameSpaceRank(n.value.nameSpace);
        if (rank < bestRank) {
            bestRank = rank;
            best = &n;
        }
    }
    return best;
}

const NamedFileName* MftFile::lastLongName() const {
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        if (it->value.nameSpace != static_cast<std::uint8_t>(NameSpace::Dos)) return &*it;
    return bestName();
}

const DataStream* MftFile::unnamedData() const { return stream(""); }

const DataStream* MftFile::stream(std::string_view name) const {
    for (const DataStream& s : streams)
        if (s.name == name) return &s;
    return nullptr;
}

util::DecodeResult decodeMftFile(util::Bytes base, std::uint64_t number, std::uint64_t lba, MftFileSource* source,
                                 std::uint64_t volumeClusters, MftFile& file, util::Diagnostics* diagnostics) {
    // The thread's workspace, unless a decode is already running in it.
    Workspace own;
    Workspace& ws = t_workspace.busy ? own : t_workspace;
    ws.busy = true;
    struct Release {
        Workspace& ws;
        ~Release() {
            ws.trim();
            ws.busy = false;
        }
    } release{ws};
    ws.start(file);
    file.number = number;
    util::DecodeResult r = parseMftHeader(base, file.header);
    if (r.notThis()) return r;
    auto report = [&](util::Problem kind, const std::string& reason, std::uint64_t recordNumber) {
        if (diagnostics != nullptr) diagnostics->add(kind, 1, recordNumber, lba, reason);
    };
    if (r.corrupt()) {
        report(util::Problem::CorruptRecord, r.reason, number);
        r.record = number;
        r.lba = lba;
        return r;
    }
    Collector collector(file, volumeClusters, ws);
    std::vector<std::uint8_t>& listValue = ws.listValue;
    std::vector<Run>& listRuns = ws.listRuns;
    std::uint64_t listBytes = 0;
    util::DecodeResult walk = collector.take(base, file.header, true, &listValue, &listRuns, &listBytes);
    if (walk.corrupt()) {
        report(util::Problem::CorruptRecord, walk.reason, number);
        collector.note(walk.reason);
    }
    if (file.hasAttributeList && source != nullptr) {
        if (listValue.empty() && !listRuns.empty() && !source->readRuns(listRuns, listBytes, listValue))
            collector.note("the attribute list could not be read");
        std::vector<AttributeListEntry>& entries = ws.entries;
        const util::DecodeResult lr = decodeAttributeList(listValue, entries);
        if (lr.corrupt()) {
            report(util::Problem::CorruptRecord, "attribute list: " + lr.reason, number);
            collector.note(lr.reason);
        }
        // Attributes first listed in another record are numbered after the
        // highest id the list names.
        std::uint32_t nextId = collector.listId();
        for (const AttributeListEntry& e : entries) nextId = std::max<std::uint32_t>(nextId, e.id);
        std::vector<ExtensionId>& extensionIds = ws.extensionIds;
        std::vector<Workspace::Seen>& seen = ws.seen;
        for (const AttributeListEntry& e : entries) {
            const util::Bytes units(e.nameUnits.data(), e.nameUnits.size());
            const Workspace::Seen here{e.type, nameKey(units), units};
            const bool again = std::any_of(seen.begin(), seen.end(), [&](const Workspace::Seen& s) {
                return s.type == here.type && s.key == here.key && s.units.size() == units.size() &&
                       std::equal(s.units.begin(), s.units.end(), units.begin());
            });
            if (again || seen.size() >= kMaxExtensionRecordsPerFile) continue;
            seen.push_back(here);
            if (e.holder.record == number) continue;
            nextId = std::min<std::uint32_t>(nextId + 1, 0xFFFF);
            extensionIds.push_back({e.type, units, static_cast<std::uint16_t>(nextId), here.key});
        }
        std::vector<std::uint64_t>& holders = ws.holders;
        for (const AttributeListEntry& e : entries)
            if (e.holder.record != number && std::find(holders.begin(), holders.end(), e.holder.record) == holders.end() &&
                holders.size() < kMaxExtensionRecordsPerFile)
                holders.push_back(e.holder.record);
        std::vector<std::uint8_t>& ext = ws.ext;
        for (std::uint64_t holder : holders) {
            MftHeader h;
            // An extension record points back at its base record; one that
            // does not has been reused for another file.
            if (!source->readExtension(holder, ext) || !parseMftHeader(ext, h).ok() || h.base.record != number) {
                file.extensionsComplete = false;
                collector.note("extension record " + std::to_string(holder) + " is missing or reused");
                continue;
            }
            const util::DecodeResult er = collector.take(ext, h, false, nullptr, nullptr, nullptr);
            if (er.corrupt()) report(util::Problem::CorruptRecord, er.reason, holder);
        }
    }
    collector.finish();
    for (const std::string& problem : collector.runProblems()) report(util::Problem::CorruptRunList, problem, number);
    return util::DecodeResult::success();
}

}  // namespace qvx::ntfs

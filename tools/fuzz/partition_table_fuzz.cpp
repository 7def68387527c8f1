// The partition table reader over a sparse in-memory disk: MBR slots, the
// extended boot record chain, the GUID partition table behind a protective
// slot, and the boot-sector recognition of the lost partition search.

#include <cstddef>
#include <cstdint>

#include "fuzz_disk.h"
#include "partition/gpt.h"
#include "partition/partition_search.h"
#include "partition/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 0xFFFFFFFFu);
    const std::uint64_t total = disk.reader.totalSectors(0);

    qvx::partition::DiskPartitionList list;
    qvx::partition::ReadPartitionTable(disk.reader, 0, 0, total, list);
    for (int i = 0; i < list.count(); ++i) (void)list.label(i);

    std::uint8_t sector[qvx::disk::kSectorSize];
    for (std::uint64_t lba = 0; lba < 2 && lba < total; ++lba) {
        disk.reader.ReadSectors(0, lba, 1, sector);
        (void)qvx::partition::recogniseBootSector(sector);
        qvx::partition::GptHeader header;
        (void)qvx::partition::parseGptHeader(sector, lba, total, header);
        (void)qvx::partition::parseGptHeader(sector, lba, total / 8, header, 4096);
    }
    return 0;
}

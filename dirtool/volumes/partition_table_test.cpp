// The partition table reader over tables built in memory, sound and damaged.
#include "volumes/volumes.h"

#include "base/bytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

namespace dirtool {
namespace {

constexpr std::uint64_t mib = 1024 * 1024;

// A disk held in memory, sparse: what was never written reads as zeros, later writes over earlier.
class memory_disk {
public:
    explicit memory_disk(std::uint64_t size) : size_(size) {}

    void write(std::uint64_t offset, const std::string& bytes) { chunks_.emplace_back(offset, bytes); }
    std::uint64_t size() const { return size_; }

    // The reader the table reader gets; it notes any read outside the disk.
    disk_reader reader() {
        return [this](std::uint64_t offset, std::size_t count, char* data) {
            if (offset > size_ || count > size_ - offset) {
                read_outside_ = true;
                return false;
            }
            std::fill(data, data + count, '\0');
            for (const auto& [at, bytes] : chunks_) {
                const std::uint64_t from = std::max(at, offset);
                const std::uint64_t to = std::min(at + bytes.size(), offset + count);
                for (std::uint64_t i = from; i < to; ++i) {
                    data[static_cast<std::size_t>(i - offset)] = bytes[static_cast<std::size_t>(i - at)];
                }
            }
            return true;
        };
    }
    bool read_outside() const { return read_outside_; }

private:
    std::uint64_t size_;
    std::vector<std::pair<std::uint64_t, std::string>> chunks_;
    bool read_outside_ = false;
};

std::string little_endian(std::uint64_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i) text += static_cast<char>((value >> (8 * i)) & 0xff);
    return text;
}

std::string mbr_entry(std::uint8_t type, std::uint64_t first, std::uint64_t sectors, std::uint8_t boot = 0) {
    return std::string(1, static_cast<char>(boot)) + std::string(3, '\0') + static_cast<char>(type) +
           std::string(3, '\0') + little_endian(first, 4) + little_endian(sectors, 4);
}

// A table sector: up to four entries at 446 and the signature 55 AA.
std::string table_sector(const std::vector<std::string>& entries) {
    std::string sector(512, '\0');
    for (std::size_t i = 0; i < entries.size(); ++i) sector.replace(446 + 16 * i, 16, entries[i]);
    sector[510] = '\x55';
    sector[511] = '\xaa';
    return sector;
}

struct gpt_entry {
    std::uint64_t first;
    std::uint64_t last;
};
constexpr gpt_entry unused{0, 0};

std::string gpt_entries(const std::vector<gpt_entry>& entries, std::uint32_t count) {
    std::string bytes(std::size_t{count} * 128, '\0');
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].first == 0 && entries[i].last == 0) continue;
        bytes.replace(128 * i, 16, "\xaf\x3d\xc6\x0f\x83\x84\x72\x47\x8e\x79\x3d\x69\xd8\x47\x7d\xe4", 16);
        bytes.replace(128 * i + 32, 8, little_endian(entries[i].first, 8));
        bytes.replace(128 * i + 40, 8, little_endian(entries[i].last, 8));
    }
    return bytes;
}

std::string gpt_header(std::uint64_t own, std::uint64_t other, std::uint64_t entries_at, std::uint32_t count,
                       std::uint32_t entries_crc) {
    std::string header = "EFI PART" + little_endian(0x10000, 4) + little_endian(92, 4) + little_endian(0, 4) +
                         little_endian(0, 4) + little_endian(own, 8) + little_endian(other, 8) +
                         little_endian(34, 8) + little_endian(0, 8) + std::string(16, '\x11') +
                         little_endian(entries_at, 8) + little_endian(count, 4) + little_endian(128, 4) +
                         little_endian(entries_crc, 4);
    header.replace(16, 4, little_endian(crc32(header.data(), header.size()), 4));
    return header;
}

// A GPT disk as a partitioning tool writes one: the protective MBR, the primary header and entries
// at its start, the backup entries and header at its end.
void write_gpt(memory_disk& disk, std::uint64_t sector_size, const std::vector<gpt_entry>& entries,
               std::uint32_t count = 128) {
    const std::uint64_t sectors = disk.size() / sector_size;
    const std::string table = gpt_entries(entries, count);
    const std::uint64_t entry_sectors = (table.size() + sector_size - 1) / sector_size;
    const std::uint32_t table_crc = crc32(table.data(), table.size());
    disk.write(0, table_sector({mbr_entry(0xee, 1, std::min<std::uint64_t>(sectors - 1, 0xffffffff))}));
    disk.write(sector_size, gpt_header(1, sectors - 1, 2, count, table_crc));
    disk.write(2 * sector_size, table);
    disk.write((sectors - 1 - entry_sectors) * sector_size, table);
    disk.write((sectors - 1) * sector_size, gpt_header(sectors - 1, 1, sectors - 1 - entry_sectors, count, table_crc));
}

// An extended partition's chain: link i at sector links[i].at holds a logical partition placed from
// the link, and the next link placed from the first.
struct chain_link {
    std::uint64_t at;
    std::uint64_t data_first;  // from the link's sector; 0 for none
    std::uint64_t data_sectors;
    std::uint64_t next;  // from the first link's sector; 0 for the end
};

void write_chain(memory_disk& disk, const std::vector<chain_link>& links) {
    for (const chain_link& link : links) {
        std::vector<std::string> entries;
        entries.push_back(link.data_first != 0 ? mbr_entry(0x83, link.data_first, link.data_sectors) : std::string(16, '\0'));
        if (link.next != 0) entries.push_back(mbr_entry(0x05, link.next, 2048));
        disk.write(link.at * 512, table_sector(entries));
    }
}

struct table_case {
    const char* name;
    std::uint64_t disk_size;
    std::function<void(memory_disk&)> make;
    table_kind kind;
    std::uint32_t sector_size;
    std::vector<partition> partitions;  // number, start, size, in bytes
    std::vector<const char*> problems;  // a part of each message, in order
};

std::string described(const partition_table& table) {
    std::string text = "kind " + std::to_string(static_cast<int>(table.kind)) + ", sector " +
                       std::to_string(table.sector_size) + "\n";
    for (const partition& p : table.partitions) {
        text += "  " + std::to_string(p.number) + ": " + std::to_string(p.start) + " +" + std::to_string(p.size) + "\n";
    }
    for (const std::string& problem : table.problems) text += "  problem: " + problem + "\n";
    return text;
}

constexpr std::uint64_t s = 512;  // bytes in an MBR sector

// The logical partitions of a chain whose link i lies at sector 2048 + 2i, each holding one sector
// of data right after it.
std::vector<partition> chained_logicals(unsigned count) {
    std::vector<partition> partitions;
    for (unsigned i = 0; i < count; ++i) partitions.push_back({5 + i, (2048 + 2 * std::uint64_t{i} + 1) * s, s});
    return partitions;
}

TEST(PartitionTable, ReadsSoundAndDamagedTablesAndNeverReadsOutsideTheDisk) {
    const table_case cases[] = {
        {"no signature: no table", 8 * mib, [](memory_disk&) {}, table_kind::none, 512, {}, {}},
        {"a table sector without entries: no table", 8 * mib,
         [](memory_disk& d) { d.write(0, table_sector({})); }, table_kind::none, 512, {}, {}},
        {"a file system's boot sector: boot flags other than 0 and 0x80", 8 * mib,
         [](memory_disk& d) { d.write(0, table_sector({mbr_entry(0x83, 2048, 4096, 0x12)})); }, table_kind::none,
         512, {}, {}},
        {"a disk smaller than one sector", 100, [](memory_disk&) {}, table_kind::none, 512, {}, {}},
        {"primaries keep their slot's number", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x83, 2048, 4096, 0x80), std::string(16, '\0'),
                                      mbr_entry(0x07, 8192, 2048)}));
         },
         table_kind::mbr, 512, {{1, 2048 * s, 4096 * s}, {3, 8192 * s, 2048 * s}}, {}},
        {"logical partitions are numbered from 5 in chain order; the extended one is not listed", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x83, 2048, 2048), mbr_entry(0x0f, 8192, 40960)}));
             write_chain(d, {{8192, 2048, 4096, 20480}, {8192 + 20480, 2048, 1024, 0}});
         },
         table_kind::mbr, 512, {{1, 2048 * s, 2048 * s}, {5, 10240 * s, 4096 * s}, {6, 30720 * s, 1024 * s}}, {}},
        {"past the end: left out, or clipped to the disk", 2 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x83, 2048, 4096), mbr_entry(0x83, 16384, 100),
                                      mbr_entry(0x83, 0xffffffff, 0xffffffff)}));
         },
         table_kind::mbr, 512, {{1, 2048 * s, 2 * mib - 2048 * s}},
         {"partition 1 runs past the end of the image: clipped to 1048576 of its 2097152 bytes",
          "partition 2 starts past the end", "partition 3 starts past the end"}},
        {"overlapping partitions: the later one is left out", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x83, 4096, 4096), mbr_entry(0x83, 2048, 2049),
                                      mbr_entry(0x83, 8191, 10), mbr_entry(0x83, 8192, 10)}));
         },
         table_kind::mbr, 512, {{1, 4096 * s, 4096 * s}, {4, 8192 * s, 10 * s}},
         {"partition 2 overlaps partition 1", "partition 3 overlaps partition 1"}},
        {"a partition over the table's own sector", 8 * mib,
         [](memory_disk& d) { d.write(0, table_sector({mbr_entry(0x83, 0, 4096), mbr_entry(0x83, 4096, 10)})); },
         table_kind::mbr, 512, {{2, 4096 * s, 10 * s}}, {"partition 1 starts on the sector of the partition table"}},
        {"a chain that leads back on itself", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x05, 2048, 40960)}));
             write_chain(d, {{2048, 2048, 100, 4096}, {2048 + 4096, 2048, 100, 4096}});
         },
         table_kind::mbr, 512, {{5, 4096 * s, 100 * s}, {6, 8192 * s, 100 * s}},
         {"leads back to sector 6144"}},
        {"a chain that leads back to its first link", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x05, 2048, 40960)}));
             write_chain(d, {{2048, 2048, 100, 0}});
             d.write(2048 * s + 446 + 16, mbr_entry(0x05, 0, 2048));
         },
         table_kind::mbr, 512, {{5, 4096 * s, 100 * s}}, {"leads back to sector 2048"}},
        {"a chain that leads off the disk, and one to a sector with no table", 8 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x05, 2048, 4096), mbr_entry(0x05, 8192, 4096)}));
             write_chain(d, {{2048, 1, 10, 0xfffff000}, {8192, 1, 10, 100}});
         },
         table_kind::mbr, 512, {{5, 2049 * s, 10 * s}, {6, 8193 * s, 10 * s}},
         {"leads to sector 4294965248, past the end", "holds no table at sector 8292"}},
        {"a chain of a thousand links", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x05, 2048, 100000)}));
             std::vector<chain_link> links;
             for (std::uint64_t i = 0; i < 1000; ++i) links.push_back({2048 + 2 * i, 1, 1, 2 * i + 2});
             write_chain(d, links);
         },
         table_kind::mbr, 512, chained_logicals(252), {"more than 252 logical partitions"}},
        {"a chain of a thousand empty links", 64 * mib,
         [](memory_disk& d) {
             d.write(0, table_sector({mbr_entry(0x05, 2048, 100000)}));
             std::vector<chain_link> links;
             for (std::uint64_t i = 0; i < 1000; ++i) links.push_back({2048 + i, 0, 0, i + 1});
             write_chain(d, links);
         },
         table_kind::mbr, 512, {}, {"more than 256 links"}},
        {"GPT: each used entry is numbered by its index", 64 * mib,
         [](memory_disk& d) { write_gpt(d, 512, {{2048, 6143}, unused, {6144, 22527}}); }, table_kind::gpt, 512,
         {{1, 2048 * s, 4096 * s}, {3, 6144 * s, 16384 * s}}, {}},
        {"GPT on 4096-byte sectors", 64 * mib, [](memory_disk& d) { write_gpt(d, 4096, {{256, 511}, {512, 1023}}); },
         table_kind::gpt, 4096, {{1, 256 * 4096, 256 * 4096}, {2, 512 * 4096, 512 * 4096}}, {}},
        {"GPT: a damaged primary header, the backup read instead", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 512, {{2048, 6143}});
             d.write(512 + 40, "x");
         },
         table_kind::gpt, 512, {{1, 2048 * s, 4096 * s}},
         {"the primary GPT is damaged: its checksum is wrong; reading the backup"}},
        {"GPT: damaged primary entries", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 512, {{2048, 6143}});
             d.write(1024 + 32, little_endian(10, 8));
         },
         table_kind::gpt, 512, {{1, 2048 * s, 4096 * s}},
         {"the primary GPT is damaged: the checksum of its partition entries is wrong"}},
        {"GPT on 4096-byte sectors with only the backup intact", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 4096, {{256, 511}});
             d.write(4096, std::string(4096, '\0'));
         },
         table_kind::gpt, 4096, {{1, 256 * 4096, 256 * 4096}}, {"the primary GPT is damaged: it has no GPT signature"}},
        {"GPT: both headers damaged", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 512, {{2048, 6143}});
             d.write(512, gpt_header(7, 131071, 2, 128, 0));
             d.write(64 * mib - 512 + 12, little_endian(40, 4));
         },
         table_kind::gpt, 512, {},
         {"it says it lies at sector 7, not 1", "the backup GPT is damaged too: its size is 40 bytes"}},
        {"GPT: a header that claims absurdly many entries", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 512, {{2048, 6143}});
             d.write(512, gpt_header(1, 131071, 2, 0xffffffff, 0));
         },
         table_kind::gpt, 512, {{1, 2048 * s, 4096 * s}}, {"it claims 4294967295 entries of 128 bytes"}},
        {"GPT: entries past the end of the image", 64 * mib,
         [](memory_disk& d) {
             write_gpt(d, 512, {{2048, 6143}});
             d.write(512, gpt_header(1, 131071, 131070, 128, 0));
         },
         table_kind::gpt, 512, {{1, 2048 * s, 4096 * s}}, {"its partition entries lie past the end"}},
        {"GPT: a truncated image, its backup gone", 8 * mib,
         [](memory_disk& d) {
             const std::string entries = gpt_entries(
                 {{2048, 6143}, {6144, 100000}, {200000, 300000}, {0xfffffffffffffff0, 0xffffffffffffffff}}, 128);
             d.write(0, table_sector({mbr_entry(0xee, 1, 131071)}));
             d.write(512, gpt_header(1, 131071, 2, 128, crc32(entries.data(), entries.size())));
             d.write(1024, entries);
         },
         table_kind::gpt, 512, {{1, 2048 * s, 4096 * s}, {2, 6144 * s, 8 * mib - 6144 * s}},
         {"partition 2 runs past the end", "partition 3 starts past the end", "partition 4 starts past the end"}},
        {"GPT: an entry that ends before it starts, and one over the whole disk", 64 * mib,
         [](memory_disk& d) { write_gpt(d, 512, {{6143, 2048}, {0, 0xffffffffffffffff}}); }, table_kind::gpt, 512,
         {{2, 0, 64 * mib}}, {"partition 1 ends before it starts", "partition 2 runs past the end"}},
        {"GPT: a used entry past number 256", 64 * mib,
         [](memory_disk& d) {
             std::vector<gpt_entry> entries(300, unused);
             entries[0] = {2048, 4095};
             entries[299] = {4096, 6143};
             write_gpt(d, 512, entries, 304);
         },
         table_kind::gpt, 512, {{1, 2048 * s, 2048 * s}}, {"partition entries past number 256 are left out"}},
        {"GPT: a protective MBR and no GPT header", 8 * mib,
         [](memory_disk& d) { d.write(0, table_sector({mbr_entry(0xee, 1, 16383)})); }, table_kind::gpt, 512, {},
         {"no GPT header"}},
    };
    for (const table_case& c : cases) {
        SCOPED_TRACE(c.name);
        memory_disk disk(c.disk_size);
        c.make(disk);
        const partition_table table = read_partition_table(disk.reader(), disk.size());
        SCOPED_TRACE(described(table));
        EXPECT_FALSE(disk.read_outside());
        EXPECT_EQ(table.kind, c.kind);
        EXPECT_EQ(table.sector_size, c.sector_size);
        ASSERT_EQ(table.partitions.size(), c.partitions.size());
        for (std::size_t i = 0; i < c.partitions.size(); ++i) {
            EXPECT_EQ(table.partitions[i].number, c.partitions[i].number);
            EXPECT_EQ(table.partitions[i].start, c.partitions[i].start);
            EXPECT_EQ(table.partitions[i].size, c.partitions[i].size);
        }
        ASSERT_EQ(table.problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_NE(table.problems[i].find(c.problems[i]), std::string::npos) << table.problems[i];
        }
    }
}

}  // namespace
}  // namespace dirtool

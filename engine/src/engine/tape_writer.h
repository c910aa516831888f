// The tape writer: tables first, then events in CRC-checked blocks. A tape
// written to a file appears under its name only when finish() succeeds, so
// a failed write never leaves a partial tape.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/block_codec.h"
#include "engine/tape_format.h"

namespace tarvik::engine {

// Plain tapes (version 1) hold their events as the engine reads them;
// packed tapes (version 2) hold each block zstd-compressed, or plain where
// compression would not make it smaller.
enum class TapeEncoding { Plain, Packed };

class TapeWriter {
public:
    explicit TapeWriter(TapeEncoding encoding = TapeEncoding::Plain);
    TapeWriter(const TapeWriter&) = delete;
    TapeWriter& operator=(const TapeWriter&) = delete;
    ~TapeWriter();

    // Writes to `path` (through a temporary file beside it). A packed
    // tape's blocks are packed on threads of the writer's own, while the
    // next blocks are filled. Errors name the file `shown`, or `path` when
    // it is empty (a caller writing a tape under a name of its own first).
    bool open_file(const std::string& path, const TapeTables& tables, std::string& error,
                   const std::string& shown = {});
    // The tape will replace an earlier file once finished (a caller that
    // names it itself, as the import does): it is then on the disk first.
    // open_file sets this when a file is at its own path.
    void will_replace(bool replaces) { replaces_ = replaces; }
    // Writes into memory(), for tests and the fuzz corpus.
    void open_memory(const TapeTables& tables);
    // Writes a live tape: straight under its name, each block on the disk
    // as soon as it is complete, so that a reader can follow the day as it
    // is written; finish() closes it with the End section.
    bool open_live(const std::string& path, const TapeTables& tables, std::string& error);

    // `ext` is read only when the event has kEventHasExt; null gives zeros.
    void add(const TapeEvent& event, const TapeExt* ext = nullptr);
    // Ends the current block early (a live tape hands out what it has, and
    // a copy keeps the blocks of the tape it copies).
    void end_block();
    bool finish(std::string& error);

    const std::vector<unsigned char>& memory() const { return out_; }

private:
    void write_tables(const TapeTables& tables);
    void write_section(SectionKind kind, const void* payload, std::size_t size);
    void flush_block();
    // Appends the section of the next packer's block, if it has one, once
    // packed.
    void take_packed();
    void flush_output();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string shown_;  // the name errors give
    std::string temp_path_;
    // A file of a tape is written unnamed where the file system allows it,
    // and named (temp_path_, then path_) only when whole: a writer killed
    // on the way leaves nothing behind. -1: a named temporary file.
    int unnamed_fd_ = -1;
    std::vector<unsigned char> out_;
    std::vector<TapeEvent> events_;
    std::vector<TapeExt> ext_;
    bool packed_ = false;
    BlockPacker packer_;
    struct PackAhead;
    std::unique_ptr<PackAhead> ahead_;  // files of packed tapes only
    bool failed_ = false;
    bool live_ = false;
    bool replaces_ = false;  // an earlier file is at the name: synced before naming
    // The regular file a live tape made at its name (not a device, a pipe or
    // a symbolic link's target), by device and inode: the only thing an
    // unfinished live tape removes.
    bool live_file_ = false;
    uint64_t live_device_ = 0, live_inode_ = 0;
    void remove_live_file() const;
    bool direct_ = false;  // into a device or a pipe, which has no temporary name
};

// Writes a whole tape held in memory.
bool write_tape_file(const std::string& path, const TapeTables& tables, const std::vector<TapeEvent>& events,
                     const std::vector<TapeExt>& ext, std::string& error,
                     TapeEncoding encoding = TapeEncoding::Plain);

}  // namespace tarvik::engine

#pragma once

#include "storage/IStorageListener.h"
#include "storage/PagePosition.h"

namespace ostrel {

class MediaElement;
class Storage;

// The single write path for received frames into a storage or a storage
// group: the frame's bytes go to the media track (text-in frames become
// text-in records), then the frame is indexed in the timeline, and an indexed
// video frame feeds the recording table. The recorder does not own the
// storage; it listens to it (and ignores what it hears) while open.
class Recorder : public IStorageListener {
public:
    Recorder() = default;
    ~Recorder() override;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Closes first, then records into `storage`.
    void open(Storage& storage);
    void close();
    bool isOpen() const { return _storage != nullptr; }
    Storage* storage() const { return _storage; }

    // Records one frame; answers the position of its timeline element ((0, 0)
    // when the frame was not indexed). The frame receives its media ID.
    // Failures of the storage propagate.
    PagePosition writeFrame(MediaElement& frame);

    void usageChanged(Storage&, std::uint64_t, std::uint64_t) override {}
    void formattingBegins(Storage&) override {}
    void formattingEnded(Storage&) override {}
    void sectionChanged(Storage&, std::uint32_t) override {}

private:
    Storage* _storage = nullptr;
};

} // namespace ostrel

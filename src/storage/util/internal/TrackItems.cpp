#include "storage/util/internal/TrackItems.h"

#include "base/Assert.h"
#include "storage/EventElement.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"

#include <string>

namespace ostrel {

std::unique_ptr<IRecordable> TrackItems::make(const PageType& type) {
    if (type == PageType::RecordingTable) return std::make_unique<RecordingTableElement>();
    if (type == PageType::Timeline) return std::make_unique<TimelineElement>();
    if (type == PageType::Event) return std::make_unique<EventElement>();
    if (type == PageType::TextIn) return std::make_unique<TextInElement>();
    if (type == PageType::Media || type == PageType::PreEvent) return std::make_unique<MediaElement>();
    return nullptr;
}

bool TrackItems::isFixedSize(const PageType& type) {
    return type == PageType::Timeline || type == PageType::Event || type == PageType::TextIn ||
           type == PageType::RecordingTable;
}

bool TrackItems::isDataTrack(const PageType& type) {
    return type == PageType::Timeline || type == PageType::RecordingTable || type == PageType::Media ||
           type == PageType::Event || type == PageType::PreEvent || type == PageType::TextIn;
}

std::uint64_t TrackItems::readAt(const Page& page, std::uint32_t offset, IRecordable& item) {
    const std::uint32_t size = page.pageSize();
    if (offset < Page::IndexData || std::uint64_t{offset} + item.fixedSize() > size) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "page " + std::to_string(page.pageNumber()) + ": item offset " +
                                  std::to_string(offset) + " outside the page");
    }
    item.readAt(page.buffer(), offset);
    return std::uint64_t{item.fixedSize()} + item.payloadSize();
}

std::optional<std::uint32_t> TrackItems::sectionOf(const PageType& type, const IRecordable& item) {
    if (type == PageType::RecordingTable) return static_cast<const RecordingTableElement&>(item).sectionID();
    if (type == PageType::Event) return static_cast<const EventElement&>(item).sectionID();
    if (type == PageType::TextIn) return static_cast<const TextInElement&>(item).attribute();
    return std::nullopt;
}

void TrackItems::readLast(const Page& page, IRecordable& item) {
    OSTREL_ASSERT(page.lastItemOffset() < (uint32_t)page.pageSize());
    readAt(page, page.lastItemOffset(), item);
}

} // namespace ostrel

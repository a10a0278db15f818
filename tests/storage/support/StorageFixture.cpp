#include "storage/support/StorageFixture.h"

#include "storage/MediaElement.h"

#include <algorithm>
#include <stdexcept>

namespace ostrel::test {

StorageFormatOptions smallPageOptions(std::uint32_t pageSize) {
    StorageFormatOptions options;
    options.repositoryID = UniqueID();
    options.pageSize = pageSize;
    options.recorderType = RecorderType::Flac;
    return options;
}

StorageFixture::StorageFixture(std::uint32_t pages, std::uint32_t pageSize_)
    : pageSize(pageSize_), memory(8192 + std::uint64_t{pages} * pageSize_), storage(memory.storage()) {
    storage->open("fixture.strg", true, 2);
    storage->format(smallPageOptions(pageSize));
}

void StorageFixture::reopen() {
    if (!storage->close(true)) {
        throw std::runtime_error("close failed");
    }
    storage = memory.storage();
    if (!storage->open("fixture.strg", true, 2)) {
        throw std::runtime_error("reopen failed");
    }
}

PagePosition StorageFixture::record(const MediaElement& frame) {
    MediaElement copy = frame;
    const PagePosition position = storage->writeMedia(copy);
    return storage->writeTimeline(copy, position);
}

std::vector<std::string> StorageFixture::logTexts() const {
    std::vector<std::string> texts;
    for (const LogMessage& message : storage->readLog()) {
        texts.push_back(message.text);
    }
    return texts;
}

bool StorageFixture::logged(const std::string& start) const {
    const std::vector<std::string> texts = logTexts();
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(start, 0) == 0; });
}

} // namespace ostrel::test

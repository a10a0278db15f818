#pragma once

namespace ostrel {

class ByteBuffer;

// Something that receives the records it posted to the media dispatcher, one at
// a time and in the order it posted them, on the dispatcher's thread.
class MediaDispatcherClient {
public:
    virtual ~MediaDispatcherClient() = default;

    // One record, exactly as it was posted, in host byte order. The buffer is a
    // read-only view of the dispatcher's delivery buffer: its bytes are valid only
    // until this call returns.
    virtual void deliver(ByteBuffer& record) = 0;
};

} // namespace ostrel

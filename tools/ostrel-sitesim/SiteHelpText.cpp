#include "ostrel-sitesim/SiteSettingsReader.h"

namespace ostrel {

const char* SiteSettingsReader::helpText() {
    return R"(Usage: ostrel-sitesim [OPTIONS]

A simulated site: the server end of the remote-playback protocol, serving a
deterministic synthetic recording, for tests, benchmarks and demonstrations.
Point Ostrel at it (address, port, user, password) to see archiving work
without a recorder.

The first line of output is the port the site listens on, alone; then one
line per connection event. SIGINT or SIGTERM stops the site: logged-in
clients get a FIN (code 0, "shutdown") and every connection is closed.

Options (--option VALUE or --option=VALUE; applied left to right, later ones win):
  --listen ADDR:PORT     where to listen (default 127.0.0.1:0; port 0 = any free port)
  --config FILE          settings from a JSON file (format below)
  --print-config         print the effective settings as JSON and exit
  --user NAME            the user who may log in (default "admin")
  --password TEXT        that user's password (default "admin")
  --name TEXT            the site's name in its system information
  --max-connections N    clients served at once (default 16); others are told "channel full"
Recording:
  --section ID,FROM,TO   a recording section; FROM and TO "YYYY/MM/DD hh:mm:ss", both
                         inclusive; repeat for more (the first replaces the default sections)
  --no-sections          a site that has recorded nothing
  --channels N           video channels, 1-32 (default 4)
  --audio-channels N     audio channels, 0-32 (default 1)
  --frame-rate N         video frames a second on each channel, 1-120 (default 5)
  --gop N                frames in a group: one key frame, then N-1 others (default 10)
  --key-frame-size B     data bytes of a key frame (default 8192)
  --frame-size B         data bytes of any other video frame (default 2048)
  --audio-frame-size B   data bytes of an audio frame (default 320)
  --extra-size B         extension bytes after each video frame's data (default 0)
  --event EVERY,OFFSET,CHANNEL,TYPE,SUBTYPE[,TICK]
                         an event every EVERY seconds (0: once) from second OFFSET of each
                         section, placed on CHANNEL's video frame at tick TICK (default 0)
  --no-events
  --text-in EVERY,OFFSET,CHANNEL,TEXT
                         a text-in "TEXT <n>" every EVERY seconds from second OFFSET of each
                         section on video channel CHANNEL (n counts from 0 in each section)
  --no-text-ins
  --growing              the last section keeps growing, one second per wall-clock second
  --retain SECONDS       keep only the newest SECONDS of recorded time (0: all); with
                         --growing the oldest part is overwritten as time goes on
  --anchor-now           move the whole recording so its last section ends now (local time)
Faults (repeatable):
  --fault channel-full        answer every sync with "channel full" (8) and close
  --fault wrong-first-packet  answer the client's sync with a login response
  --fault no-playback-profile offer profile types 1 and 3 only
  --fault refuse-login=CODE   answer every login with CODE (0, 2, 3, 4 or 5) and close
  --fault disconnect-after=N  close the connection after N frames (media and text-in)
  --fault silence             after the login send nothing at all, not even alive checks
  --fault oversized-header    after the login send a header announcing 1,048,577 bytes

Protocol:
  The site waits for the client's sync, answers with its own (profiles 1, 2
  and 3, product "OSTREL-SIM" version "2.1" model 301, a random 4-byte key,
  its system information with the channel counts, option 13), and checks the
  login digest MD5(password + key). Result 1 logs in (values: the connection
  number and 0); a wrong user, digest or algorithm gets result 2 and a close.
  Alive checks are answered; after 120 s without a packet the site asks one
  itself and after 240 s it drops the client.
  Served: 513 recording calendar, 514 time table (one entry per section:
  value = section ID, the section's recorded interval, the requested video
  channels), 515 event list (the first flag says the list was cut at the
  30840 entries one reply holds; first filter = event type bits, second =
  sub-type bits), 516 section list, 518 Play/Step/Jump, 519 pause, 523 jump
  to a position (both forms). Any other type, 521 to 531 included, is
  answered with 9 (unknown type); a received 9 is never answered.
  Play streams every frame of the range (both ends inclusive) as fast as the
  client reads; direction 2 plays backward; the speed is ignored. Step sends
  the frames of the range's first tick (the last one backward). Jump sends
  the frames of the first key-frame tick of the given section inside the
  range. A jump to a position sends the frames of the tick holding it (for
  a text-in position, that record). Channels: video and text-in by their
  channel, audio by its video channel (audio channel a % video channels).
  Stop reasons (519):
    1  paused by the client (519)
    2  a Play reached the end of the requested range
    3  a Play reached the newest (backward: oldest) recorded second first
    4  a Jump or Step delivered its frames
    5  nothing there: no recording at the range, section or position
       (for instance a position that has been overwritten)

Recording layout:
  MediaPosition (section ID, second, slot): second counts from the section's
  first second; each second holds frameRate ticks; tick k holds the video
  frames of channels c at slot k*(V+A)+c and the audio frames of channels a
  at k*(V+A)+V+a (V, A: video and audio channels); text-in rule r sits at
  slot frameRate*(V+A)+r. Media ID = (section ID << 40) + second*S + slot,
  S = frameRate*(V+A) + text-in rules. Video frame index = tick number in the
  section mod gop, gopID = tick number / gop; attributes A = frame rate,
  B = gop, C = tick number, D = the tick's offset in ms. Audio frames have
  frame index 0 and the linked mask of their video channel. Events sit on
  video frames: time, MediaPosition and value (= media ID) of that frame.
  Payload bytes (data and extension): the start of one splitmix64 stream
  seeded with 0x5349544553494D31; per 8 bytes: state += 0x9E3779B97F4A7C15,
  z = state, z = (z ^ z>>30) * 0xBF58476D1CE4E5B9,
  z = (z ^ z>>27) * 0x94D049BB133111EB, z ^= z>>31, bytes of z lowest first;
  then the stamp mediaID, epochSeconds, channel (three u64, lowest byte
  first) XORed over the first 24 bytes, where epochSeconds counts the frame's
  date and time as UTC.

Default recording: sections 1 (2024/01/01 10:00:00-10:09:59), 2 (10:15:00-
10:29:59) and 3 (11:00:00-11:59:59); 4 video channels at 5 frames a second,
groups of 10, key frames 8192 bytes, others 2048; 1 audio channel (320
bytes); events type 2 on channel 0 every 60 s from second 5 and type 0
sub-type 1 on channel 1 every 300 s from second 30; text-in "RECEIPT <n>" on
channel 2 every 20 s from second 3.

JSON settings (every key optional; "sections", "events" and "textIns"
replace the defaults; unknown keys are refused; --print-config shows all):
  {
    "listen": "127.0.0.1:0", "user": "admin", "password": "admin",
    "name": "Ostrel simulated site", "maxConnections": 16,
    "recording": {
      "sections": [{"id": 1, "from": "2024/01/01 10:00:00", "to": "2024/01/01 10:09:59"}],
      "videoChannels": 4, "audioChannels": 1, "frameRate": 5, "gopLength": 10,
      "keyFrameSize": 8192, "frameSize": 2048, "audioFrameSize": 320, "extraSize": 0,
      "events": [{"every": 60, "offset": 5, "channel": 0, "tick": 0, "type": 2, "subType": 0}],
      "textIns": [{"every": 20, "offset": 3, "channel": 2, "text": "RECEIPT", "flags": 0}],
      "growing": false, "retainSeconds": 0, "anchorToNow": false
    },
    "faults": {"channelFull": false, "wrongFirstPacket": false, "refuseLogin": null,
               "noPlaybackProfile": false, "disconnectAfterFrames": null,
               "silence": false, "oversizedHeader": false}
  }
)";
}

} // namespace ostrel

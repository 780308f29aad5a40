// krv_ipc: the script class "ipc.ipc", a message channel between two processes over one shared ring.
//
// One process connects as creator: it creates the named ring "krv_ipc_" + name, or takes over the one
// it finds as it stands, when peers are connected to it or it holds unread records (a receiver started
// again loses nothing its writers sent, live or ended, but the messages it was reassembling); only an
// empty ring nobody else is connected to, one of another layout and one whose tickets no writer could
// have set are cleared (krv_ipc_clear_ring), the last two with a line. The other connects as opener
// and uses the ring as it finds it, retrying while it does not exist yet. Either side sends script
// values; a message is the binary form of one value, cut into chunks of the ring (ipc_ring.h). A side
// with a message callback drains the ring on every VM update: the update hook reassembles each message,
// rebuilds the value and runs the callback's task with it.
//
// A ring has one draining side and any number of writing ones, each message delivered whole and in the
// order of its writer's sends; two-way traffic uses two channels. Each wait on a slot is bounded (a
// writer by its message deadline, a reader by krv_ipc_read_wait_ms), and a slot that a peer died in the
// middle of is taken back as soon as a waiter sees its holder gone (ipc_slots.h): a dead peer costs a
// logged record, never the thread or the ring.
//
// A region that another process cuts short (`truncate`) would end this one with SIGBUS at its next touch:
// before a touch after a pause (a send, a quiet update pass, a wait) the channel asks for the region's
// size, at most once a millisecond, and a cut ends the connection with a line (region_still_whole).
//
// A script task whose send finds the ring full is parked rather than holding the VM thread: the update
// hook finishes its message and wakes it (ipc_transfer.cpp). Closing the channel, or its release, ends
// the parked sends with false.
//
// A writer that disconnects (or is released, or whose run ends) while its records wait unread keeps the
// ring until they are read, as long as a reader takes one within each send timeout: a sender that ends at
// once loses nothing to a slow reader, nor to one still on its way or started again (disconnect()).
//
// Script methods and the update hook run on the thread that owns the VM lock; the object has no lock of
// its own. When the last strong handle goes, the channel leaves the update list (under the VM lock)
// before anything of it is torn down.
#pragma once
#include <deque>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "classes/ipc/ipc_ring.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/class_template.h"
#include "runtime/objects/update_hook.h"

// Prefix of the region's name; the channel name follows it.
inline constexpr const char* krv_ipc_region_prefix = "krv_ipc_";
// Attempts of an opener, and the pause between two.
inline constexpr int krv_ipc_open_attempts = 500;
inline constexpr uint64_t krv_ipc_open_retry_ms = 10;
// The bound of the bytes a reader holds in unfinished messages, all writers together: a thousand writers
// each in the middle of a message of the largest size (ipc_reassembly.cpp).
inline constexpr size_t krv_ipc_max_partial_bytes = 1024 * krv_ipc_max_message;
// A reader looks for partials of writers that are gone when the map has grown to twice what its last look
// left, at least this many, or this long after the last look (a message starting meanwhile).
inline constexpr size_t krv_ipc_partial_sweep_size = 64;
inline constexpr uint64_t krv_ipc_partial_sweep_ms = 1000;
// How often, at most, a channel asks whether its region still holds the whole ring (another process of
// the user may cut it short, and a touch past its end is SIGBUS): an fstat costs about 0.3 us, as much as
// a small message, so a busy channel asks once a millisecond and an idle one at each of its polls.
inline constexpr uint64_t krv_ipc_region_check_ms = 1;

// The reassembly of one sender's message.
struct krv_ipc_partial {
  uint32_t next_seq = 1;
  uint8_t broken = 0;         // a chunk was missing, out of order or past the size limit
  // The writer's process was found gone; its records all took tickets before `gone_ticket` (the write
  // ticket read just after), so once the reader has passed that ticket, nothing more of it can come.
  uint8_t writer_gone = 0;
  uint8_t loss_named = 0;     // a line already named this message's loss: dropping it later says nothing more
  uint32_t gone_ticket = 0;
  std::vector<uint8_t> bytes; // the payload so far
};

// How far one message has been written into the ring: its chunks in order, then its end marker.
struct krv_ipc_send_progress {
  size_t offset = 0;      // payload bytes published
  uint32_t chunks = 0;    // chunks published, the seq of the last one
  bool finished = false;  // the end marker is published: the message will arrive
};

// A message whose send found the ring full, with the task parked until it is written. The channel's
// update hook writes what the ring has room for at each pass; the result placeholder gets true once the
// end marker is in, false when the message could not be finished, and the task is woken.
struct krv_ipc_parked_send {
  std::vector<uint8_t> payload;
  krv_ipc_send_progress progress;
  uint64_t deadline_ms = 0;     // set when the message reaches the head of the queue (0 before)
  krvptr_weak<krv_task> task;   // the parked task; a task released meanwhile is not woken
  krvvar_shared result;         // the placeholder the script method returned
};

struct krv_ipc_callback {
  krvvar_shared function = krvvar_shared::make_none();  // the function value; None when no callback
  krvptr_strong<krv_task> task;                          // runs the callback; reused for every message
  std::vector<krvvar_shared> args;                       // the argument list of the next run
};

class krv_ipc : public krvobject<krv_ipc, CLASS_STRING<"ipc.ipc">>, public krvobject_update_pre {
 public:
  krv_ipc() = default;
  ~krv_ipc() override;

  // Leaves the update list before the block is unlinked and the object destroyed.
  void detach() noexcept override;
  // Drains the ring into the callback (ipc_channel.cpp), up to the write ticket read on entry. A callback
  // that disconnects or connects again, clears its callback or drops the last reference to the channel
  // ends the drain; the records after its message stay in the ring. One that replaces itself gets the
  // next message in its new task. A pass that took records wakes the VM's host: the data came from
  // another process, which cannot wake it, and more is likely on its way.
  void update_pre() override;
  // Only a connected channel can receive: one never connected, refused or disconnected keeps no run going.
  bool keeps_run_alive() const override { return ready; }

  // Closes, then creates (create) or opens the ring `name`; true when ready.
  bool open_mapping(const std::string& channel_name, bool create);
  // Unmaps and closes the ring; partials, the completed message, the name and the callback stay.
  void close();
  // Closes, after a side that does not drain the ring (no callback) has waited for its records to be read:
  // an opener that sent, for its own records; a creator, for all those unread (it may be the ring's last
  // holder). The wait goes on while a reader takes records, connected now or coming later, and ends when
  // none was taken for the send timeout (the reader stalled, went away and none came back, or never came)
  // or at a stop of the process. Records still unread then are lost: a line names them, this channel's
  // apart from those other processes left, and the loss counts for the exit status.
  void disconnect();
  // A script function value sets the callback and makes its one task; any other value clears it.
  void set_callback(krvvar_shared& value);

  // Sending and receiving (ipc_transfer.cpp). send_value encodes the value and sends it as one message;
  // send_payload sends bytes already encoded. Both wait on this thread while the ring is full (up to the
  // message's deadline), after finishing the messages of parked sends, which go first.
  bool send_value(krvvar_shared value);
  bool send_payload(const uint8_t* data, size_t size);
  // The script method: sends as send_value, but a script task that finds the ring full (or sends queued
  // before its own) is parked instead of waiting, and the returned placeholder gets the result when the
  // update hook has written the message. Outside a task under the VM lock it waits as send_value does.
  krvvar_shared send_from_script(krv_vm_context& frame, krvvar_shared value);
  // Places one record in the ring. While the ring is full it waits until `deadline_ms` (monotonic) when
  // `wait` is set (then FAILED, logged), else it returns NO_ROOM at once. FAILED too when the record will
  // not be delivered: the reader gave up on its ticket (and said so in a line).
  enum class put_outcome { PUT, NO_ROOM, FAILED };
  put_outcome publish_slot(uint64_t deadline_ms, const krv_ipc_slot& record, bool wait);
  // Drains records until one message is complete (then in `completed`); false when the ring is empty,
  // when a record did not arrive within its bound (the ticket is skipped), or when the tickets are
  // impossible (more records waiting than the ring holds: not written by an honest writer).
  bool receive();
  // The same, taking no ticket at or past `end_ticket`.
  bool receive_until(uint32_t end_ticket);

  static void script_register();
  // The namespace function "ipc": a new channel object.
  static krvvar_shared constructor_function(krv_vm_context& frame, std::vector<krvvar_shared>& args);

  krv_platform::shared_memory_handle mapping;  // the region, or closed
  void* view = nullptr;                        // the mapped view, or null
  uint64_t mapping_size = 0;                   // sizeof(krv_ipc_ring), set at each connect
  uint64_t view_size = 0;                      // sizeof(krv_ipc_ring) while mapped, else 0
  krv_ipc_ring* ring = nullptr;                // the view as the ring; sending and receiving need it
  std::string name;                            // as given to connect, without the prefix
  bool ready = false;
  bool is_process_a = false;                   // the last connect was as creator
  uint32_t sender_id = 0;                      // claimed at the first connect (ipc_sender_id.h)
  std::vector<uint8_t> completed;              // the payload of the last completed message
  std::unordered_map<uint32_t, krv_ipc_partial> partials;  // unfinished messages by sender id
  size_t partial_bytes_limit = krv_ipc_max_partial_bytes;  // what they may hold together
  uint64_t unread_wait_ms = krv_ipc_send_timeout;          // disconnect()'s bound on a wait nobody reads in
  krv_ipc_callback callback;

 private:
  // Takes the record of `ticket` (slot state 2 -> 3), feeds it to reassembly and frees the slot; true too
  // when the record is known lost (its writer died), false when it did not come in time (the ticket is
  // then skipped). Sets `complete` when it ended a message.
  bool drain_ticket(uint32_t ticket, bool& complete);
  // Reassembly of one record read in place from its slot; true when it completed a message
  // (ipc_reassembly.cpp).
  bool accept_record(const krv_ipc_slot& slot);
  void clear_partials();
  // An end marker: the message of the partial `found`, if any, completes (into `completed`) unless broken.
  bool end_message(std::unordered_map<uint32_t, krv_ipc_partial>::iterator found);
  krv_ipc_partial& start_partial(uint32_t sender);
  // Whether `len` more bytes of `sender`'s keep the partials within their limit, once those of gone
  // writers are dropped when a look for them is due.
  bool partials_have_room(uint32_t sender, size_t len);
  // When a look is due (the map has grown to partial_sweep_size_, a second passed since the last, or the
  // reader has passed the ticket the last look noted for a gone writer),
  // drops the partials whose writer's process is gone and none of whose records can still be in the
  // ring, each with a line; never `sender_in_hand`'s.
  void drop_partials_of_gone_writers(uint32_t sender_in_hand);
  // Whether the partial's writer is gone and the reader has passed every ticket it could have taken.
  bool nothing_more_can_come(krv_ipc_partial& partial, uint32_t sender);
  void drop_partial_bytes(krv_ipc_partial& partial);
  void log_dropped_partial(uint32_t sender, const std::string& reason);
  // Whether the channel is connected and its region still holds the whole ring (looked at once per
  // krv_ipc_region_check_ms; `now_ms` is the monotonic clock, which a send reads anyway). A region cut
  // short ends the connection with a line, counted as a loss, before anything touches it: the channel is
  // no longer ready, its close unmaps it.
  bool region_still_whole(uint64_t now_ms = krv_platform::monotonic_ms());
  // Counts a loss of this channel in its VM (krv_vm_state::ipc_losses), for the host's exit status.
  void count_a_loss();
  // Whether records before `end_ticket` wait for a reader (none when the ring was numbered afresh since).
  bool unread_before(uint32_t end_ticket);
  // The unread records before `end_ticket`: this channel's (and the messages whose end marker is among
  // them) and other writers'.
  struct unread_count {
    uint32_t own_messages = 0;
    uint32_t own_records = 0;
    uint32_t other_records = 0;
  };
  unread_count count_unread(uint32_t end_ticket);
  // The line that names records a disconnect leaves unread, told apart by who sent them, and why.
  void log_never_read(const unread_count& count, const std::string& why);
  // A creator's start on the ring it mapped, before it announces it: a ring of this layout with sound
  // tickets is taken over as it stands when others are connected to it or it holds unread records (those
  // of processes that are gone, said in a line); any other is cleared, with a line naming what it held.
  void start_ring(krv_ipc_ring& mapped);
  // disconnect()'s wait for its records to be read (see disconnect()).
  void wait_until_read();
  // A strong handle to this channel, empty once its last one went.
  krvptr_strong<krv_ipc> strong_handle() noexcept;
  // The parked sends' turn in update_pre; wakes the host when records went into the ring.
  void resume_parked_sends();
  // The drain of update_pre, with the channel held by `self`; true when a callback got a message.
  bool deliver_messages(const krvptr_strong<krv_ipc>& self);
  // The next message for the callback, in `completed`: one kept while a send waited, else one from the
  // ring (receive_until).
  bool next_message(uint32_t end_ticket);
  // Two processes that each send to the other while neither drains would wait on each other for good:
  // while a send of this process waits for room, its receiving channels read what their peers wrote, up
  // to krv_ipc_max_waiting_bytes of finished messages, which wait for the next update pass (no callback
  // runs inside a send). A thread that waits in a send reads every receiving channel; a parked send only
  // those whose callback is busy (suspended), since the others take their messages at each pass.
  void drain_receiving_channels(bool only_busy_callbacks);
  void take_records_while_sending();
  // Writes the rest of a message: DONE once its end marker is in, NO_ROOM (only when `wait` is false)
  // when the ring is full, FAILED when the deadline passed, the channel closed or a record was dropped
  // (the rest is not sent: the reader drops the broken message at this sender's next one).
  enum class write_outcome { DONE, NO_ROOM, FAILED };
  write_outcome write_message(const uint8_t* data, size_t size, krv_ipc_send_progress& progress,
                              uint64_t deadline_ms, bool wait);
  // The parked sends, oldest first: writes what the ring has room for (wait false) or all of them (wait
  // true), and hands each finished or failed one its result. False while some still wait for room.
  bool advance_parked_sends(bool wait);
  // Ends the head of the queue: its placeholder gets `sent` and its task is woken.
  void finish_head_send(bool sent);

  std::deque<krv_ipc_parked_send> parked_sends_;  // messages of parked tasks, in the order of their sends

  std::vector<uint8_t> outgoing_;      // the encoded message being sent, reused
  std::deque<std::vector<uint8_t>> waiting_messages_;  // finished while a send waited, oldest first
  size_t waiting_bytes_ = 0;                          // their payload bytes
  // A finished partial's map entry with its byte storage, handed to the next one: receiving a message
  // allocates nothing once a few have passed.
  std::unordered_map<uint32_t, krv_ipc_partial>::node_type spare_partial_;
  size_t partial_bytes_ = 0;       // the payload bytes the partials hold
  // The map's size at which it is next looked through for partials of gone writers, and the time.
  size_t partial_sweep_size_ = krv_ipc_partial_sweep_size;
  uint64_t next_partial_sweep_ms_ = 0;
  // The holder this process writes into slot marks; read again at each connect (a forked child has its own).
  uint32_t process_id_ = static_cast<uint32_t>(krv_platform::current_process_id());
  bool corrupt_reported_ = false;  // the tickets were found impossible since the last connect
  uint64_t next_region_check_ms_ = 0;  // when region_still_whole next asks the system
  bool took_records_last_pass_ = false;  // the last update pass took records (update_pre)
  bool wrote_since_connect_ = false;     // a record of this channel went into the ring since its connect
  uint32_t own_end_ticket_ = 0;          // the ticket after this channel's last record
  // A look for gone writers left partials whose records may still be in the ring: look again as soon as
  // the reader has passed this ticket (the write ticket after that look), not a second later.
  bool gone_writers_pending_ = false;
  uint32_t gone_writers_ticket_ = 0;
  uint32_t connection_count_ = 0;  // connects so far: the update hook notices one made by a callback
};

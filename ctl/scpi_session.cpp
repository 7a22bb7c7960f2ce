// One SCPI client's conversation: its bytes cut into lines, each line's
// units carried out in order, its replies joined; and its error queue.
#include "ctl/scpi.h"

namespace scpi {

void ErrorQueue::push(int error)
{
    if (errors_.size() < ERROR_QUEUE)
        errors_.push_back(error);
    else
        errors_.back() = QUEUE_OVERFLOW;
}

int ErrorQueue::next()
{
    if (errors_.empty())
        return NO_ERROR;
    const int error = errors_.front();
    errors_.pop_front();
    return error;
}

void SessionState::record(int error)
{
    errors.push(error);
    if (error <= -100 && error > -200)
        events |= COMMAND_ERROR_BIT;
    else if (error <= -200 && error > -300)
        events |= EXECUTION_ERROR;
    else if (error <= -300 && error > -400)
        events |= DEVICE_ERROR;
    else if (error <= -400 && error > -500)
        events |= QUERY_ERROR;
}

int SessionState::statusByte() const
{
    int stb = 0;
    if (errors.count())
        stb |= ERROR_AVAILABLE;
    if (events & eventMask)
        stb |= EVENT_SUMMARY;
    if (stb & requestMask)
        stb |= REQUEST_SUMMARY;
    return stb;
}

void Session::endLine(const std::string &text)
{
    PendingLine line;
    if (text.size() > MAX_LINE) {
        Unit overrun;
        overrun.error = INPUT_BUFFER_OVERRUN;
        line.units.push_back(overrun);
    } else {
        line.units = parseLine(text);
    }
    if (!line.units.empty())
        lines_.push_back(std::move(line));
}

void Session::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);
        if (!discarding_) {
            // A CR may still come before the LF: one byte more is kept.
            const std::size_t room = MAX_LINE + 1 - partial_.size();
            partial_.append(piece.substr(0, room));
            if (piece.size() > room) {
                endLine(std::string(MAX_LINE + 1, ' '));   // queues -363
                partial_.clear();
                discarding_ = true;
            }
        }
        if (lf == std::string_view::npos)
            break;
        if (!discarding_) {
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            endLine(partial_);
        }
        partial_.clear();
        discarding_ = false;
        bytes.remove_prefix(lf + 1);
    }
}

// The front line's next unit done, with what it gave: its reply kept for
// the line's, its error queued. The line's replies go out when it is done.
void Session::unitDone(const CommandResult &result)
{
    PendingLine &line = lines_.front();
    if (result.hasReply)
        line.replies.push_back(result.reply);
    if (result.error)
        state_.record(result.error);
    line.done++;
    if (line.done < line.units.size())
        return;
    if (!line.replies.empty()) {
        for (std::size_t k = 0; k < line.replies.size(); k++) {
            if (k)
                out_ += ';';
            out_ += line.replies[k];
        }
        out_ += '\n';
    }
    lines_.pop_front();
}

std::optional<Command> Session::next()
{
    if (waiting_)
        return std::nullopt;
    while (!lines_.empty()) {
        const PendingLine &line = lines_.front();
        const Unit unit = line.units[line.done];
        if (unit.error) {
            unitDone({false, {}, unit.error});
            continue;
        }
        const Handler &handler = unit.command.row->handler;
        if (handler.onInstrument) {
            waiting_ = true;
            return unit.command;
        }
        unitDone(handler.inSession(unit.command.value, identity_, state_));
    }
    return std::nullopt;
}

void Session::complete(const CommandResult &result)
{
    if (!waiting_ || lines_.empty())
        return;
    waiting_ = false;
    unitDone(result);
}

std::string Session::take()
{
    std::string out;
    out.swap(out_);
    return out;
}

std::string Session::run(std::string_view bytes, Instrument &instrument, DeviceState &state)
{
    feed(bytes);
    while (const auto command = next())
        complete(execute(*command, instrument, state));
    return take();
}

}  // namespace scpi

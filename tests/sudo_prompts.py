"""sudo's password prompts on the client's terminal: answered as the user
would, and kept out of the transcript that tests match byte for byte.

sudo writes its prompt straight to the terminal (/dev/tty) whenever a root
command of the client starts, which for the connection command may be just
before or just after the client's own "Connecting" line; once it has read
the answer with echo off, it writes the line end that the user's Enter did
not echo. Both are sudo's, not the client's: they are taken out of the
output, and each prompt answered is recorded with its place in what is left."""

import re

PROMPT = b"[sudo] password for amnesia: "
# sudo's "\n" after the answer, as the terminal shows it.
LINE_END = b"\r\n"
# With Tails' pwfeedback, an asterisk for each character read, which sudo
# 1.9.16 rubs out again ("\b \b") once the answer is complete.
FEEDBACK = re.compile(rb"(?:\*|\x08 \x08)+$")
# The same, possibly cut short by the end of a chunk.
FEEDBACK_SO_FAR = re.compile(rb"(?:\*|\x08 \x08)*(?:\x08 ?)?$")


def _held_length(text, *beginnings):
    """How many bytes at the end of `text` could be the start of one of `beginnings`."""
    longest = 0
    for beginning in beginnings:
        for length in range(min(len(text), len(beginning) - 1), longest, -1):
            if text.endswith(beginning[:length]):
                longest = length
                break
    return longest


class SudoPrompts:
    """A filter for a terminal's output (tests/terminal.py's `on_output` and
    `end_output`): `answer` types a line on the terminal. `feedback`: sudo
    shows pwfeedback's asterisks, as on Tails."""

    def __init__(self, answer, password, feedback=False):
        self.answer = answer
        self.password = password
        self.feedback = feedback
        # Where each answered prompt stood in the filtered output.
        self.answered = []
        self.held = b""
        self.shown_length = 0
        self.line_ends_owed = 0

    def feed(self, chunk):
        text = self.held + chunk
        shown = b""
        while True:
            prompt_at = text.find(PROMPT)
            end_at = text.find(LINE_END) if self.line_ends_owed else -1
            # The client writes its lines whole, so the first line end after an
            # answer is sudo's, or one just like it, where taking it out comes
            # to the same bytes. Not so with feedback: sudo's asterisks go
            # before its line end, so a whole line of the client's that came
            # between the prompt and them (the connection command's prompt
            # may come first) keeps its own line end.
            if end_at >= 0 and (prompt_at < 0 or end_at < prompt_at):
                line = text[:end_at]
                if self.feedback and not FEEDBACK_SO_FAR.fullmatch(line):
                    shown += line + LINE_END
                else:
                    shown += FEEDBACK.sub(b"", line)
                    self.line_ends_owed -= 1
                text = text[end_at + len(LINE_END):]
            elif prompt_at >= 0:
                shown += text[:prompt_at]
                text = text[prompt_at + len(PROMPT):]
                self.answered.append(self.shown_length + len(shown))
                self.answer(self.password + b"\n")
                self.line_ends_owed += 1
            else:
                break
        held = _held_length(text, PROMPT, LINE_END if self.line_ends_owed else b"")
        if self.line_ends_owed:
            # sudo's feedback stays held until its line end shows.
            before = text[:len(text) - held]
            held += len(before) - FEEDBACK_SO_FAR.search(before).start()
        shown += text[:len(text) - held]
        self.held = text[len(text) - held:]
        self.shown_length += len(shown)
        return shown

    def end(self):
        """What was held back as a possible prompt, once the output has ended."""
        rest, self.held = self.held, b""
        self.shown_length += len(rest)
        return rest

"""The command line described for the shell and for ``man``, from its parser.

``completion_script(parser, shell)`` gives a completion script for bash (zsh
loads the same script through its bash completion layer): subcommands, their
options, and the choices of options that have them; paths everywhere else.
``man_page(parser)`` gives the page in roff for ``man -l`` or a man directory.
Both read the one parser, so they never disagree with ``--help``.
"""

from __future__ import annotations

import argparse
import datetime
import re
import shlex

SHELLS = ("bash", "zsh")

_BASH = """\
# bash completion for {prog}; in zsh: autoload -U +X bashcompinit && bashcompinit, then source it
_{prog}() {{
    local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} command=${{COMP_WORDS[1]}}
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W {commands} -- "$cur"))
        return
    fi
    case "$command:$prev" in
{choices}
    esac
    local options=""
    case "$command" in
{options}
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}}
complete -o filenames -F _{prog} {prog}
"""


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def _options(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    return [a for a in parser._actions if a.option_strings]


def completion_script(parser: argparse.ArgumentParser, shell: str) -> str:
    """The completion script of ``parser``'s program for ``shell``."""
    if shell not in SHELLS:
        raise ValueError(f"no completion for {shell!r} (choose from {', '.join(SHELLS)})")
    prog = parser.prog
    commands = _subcommands(parser)
    top = [s for a in _options(parser) for s in a.option_strings]
    choices, options = [], []
    for name, sub in commands.items():
        strings = [s for a in _options(sub) for s in a.option_strings]
        options.append(f"        {name}) options={shlex.quote(' '.join(strings))} ;;")
        for action in _options(sub):
            if action.choices:
                words = shlex.quote(" ".join(map(str, action.choices)))
                for option in action.option_strings:
                    choices.append(f'        {name}:{option}) COMPREPLY=($(compgen -W {words} -- "$cur")); return ;;')
    return _BASH.format(prog=prog, commands=shlex.quote(" ".join([*commands, *top])),
                        choices="\n".join(choices) or "        *) ;;", options="\n".join(options) or "        *) ;;")


def _roff(text: str) -> str:
    """Text as roff reads it literally: backslashes doubled, no line starting
    with a control character."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line.startswith((".", "'")) else line for line in text.splitlines())


def _section(title: str) -> str:
    return f".SH {title.upper()}\n"


def _option_lines(parser: argparse.ArgumentParser) -> str:
    out = []
    for action in _options(parser):
        if action.help == argparse.SUPPRESS:
            continue
        names = ", ".join(action.option_strings)
        if action.choices:
            names += " {" + ",".join(map(str, action.choices)) + "}"
        elif action.metavar or action.nargs != 0:
            names += f" {action.metavar or action.dest.upper()}"
        help_text = (action.help or "") % {"default": action.default, "prog": parser.prog} if action.help else ""
        out.append(f".TP\n.B {_roff(names)}\n{_roff(help_text)}\n")
    positionals = [a for a in parser._actions if not a.option_strings and not isinstance(a, argparse._SubParsersAction)]
    for action in positionals:
        out.append(f".TP\n.I {_roff(str(action.metavar or action.dest))}\n{_roff(action.help or '')}\n")
    return "".join(out)


def _epilog_parts(epilog: str | None) -> tuple[list[str], str]:
    """The examples and the exit-status table of a subcommand's epilog."""
    if not epilog:
        return [], ""
    examples_text, _, status = epilog.partition("exit status:")
    examples = [line.strip() for line in examples_text.splitlines()[1:] if line.strip()]
    return examples, status.strip("\n")


def man_page(parser: argparse.ArgumentParser, version: str = "") -> str:
    """The manual page of ``parser``'s program, in roff."""
    prog = parser.prog
    date = datetime.date.today().isoformat()
    out = [f'.TH {prog.upper()} 1 "{date}" "{(prog + " " + version).strip()}" "User Commands"\n']
    out.append(_section("name") + f"{prog} \\- {_roff(parser.description or '')}\n")
    commands = _subcommands(parser)
    out.append(_section("synopsis") + "".join(f".B {prog} {name}\n[\\fIoptions\\fR]\n.br\n" for name in commands))
    out.append(_section("options") + _option_lines(parser))
    status = ""
    for name, sub in commands.items():
        out.append(f".SS {prog} {name}\n{_roff(sub.description or '')}\n")
        out.append(_option_lines(sub))
        examples, status = _epilog_parts(sub.epilog)
        if examples:
            out.append(".PP\nExamples:\n" + "".join(f".RS\n.nf\n{_roff(e)}\n.fi\n.RE\n" for e in examples))
    if status:
        out.append(_section("exit status") + ".nf\n" + _roff(re.sub(r"(?m)^  ", "", status)) + "\n.fi\n")
    return "".join(out)

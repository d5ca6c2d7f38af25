// The text of rules-push --help.

#include "push_options.h"

namespace talvoro::push {

const char* usageText() {
  return R"(Usage:
  rules-push [OPTION...] FILE...
  rules-push [OPTION...] --name NAME FILE|-
  rules-push [OPTION...] --configuration FILE [FILE...]
  rules-push --check [--prune [--prune-unknown]] [OPTION...] FILE...
  rules-push --prune [--prune-unknown] [OPTION...] FILE...
  rules-push --list [OPTION...]

Deploys automation rules to rules-preprocessor over MQTT and waits until the
service has handled each of them.

Each FILE is one rule; its name is the file's base name without ".js"
(kitchen-light.js is the rule "kitchen-light"). --name NAME sets the name of a
single FILE, or of the rule read from standard input (-). A name that occurs
twice, or that the service refuses (empty, over 227 bytes, a leading dot, '/',
'+', '#', control characters, not UTF-8), is refused. A FILE whose name starts
with a dash goes after "--": rules-push -- -draft.js
An empty rule text removes the installed rule: it is refused (exit status 2)
unless --clear is given, so that a failed generator in a pipeline removes
nothing.
--configuration FILE hands the service an IO structure first; rules given as
well go out only after it was accepted or found unchanged. When the service
restarts during the deployment and waits for an IO structure, the
configuration is sent again, then what is unanswered.

The tool waits until the service says it is "ready" (for a configuration
alone, "waiting" will do), publishes the rules, up to 100 at a time (500
over the controllers behind one connection, shared evenly), and waits
for each rule's result. A rule without a result within the timeout (counted
from the broker's acknowledgement of the rule) is sent again, up to N more
times; the very text that is installed ends "unchanged". When the service goes
offline meanwhile, the tool waits for it to be ready again (up to the timeout)
and sends again what was unanswered. A broker that acknowledges nothing for
the timeout counts as not answering; without --configuration, a service that
has no IO structure ends the run at once (exit status 3). The whole run ends
at the deadline at the latest, what is unanswered then as "no result".

Several --broker options deploy to every broker at the same time, one
connection each (a fleet of controllers, each with its own broker); a broker
or service that does not answer holds up none of the others.
--prefix P reaches a service whose topics a central broker shows under P
(bridged: P/tl/bridge/rules/add/NAME and so on). --fleet FILE names many
controllers, one per line: [BROKER-URI] PREFIX [user=NAME]
[password-file=PATH]; blank lines and "#" comments are skipped, a line
without a URI is behind --broker (or the default broker). Controllers behind
one broker (with one login) share one connection; each has its own wait for
the service, results and summary, and its lines start with its prefix.

Output: one line per rule, "<name>: <outcome>" and ": <reason>" where the
service gives one, and (warning: <warning>) after it where the service
warns ("<name>: no result" when none came), then a summary line;
with several brokers, each line starts with "<broker>: ". --json prints one
JSON object per line instead:
  {"broker":URI,"name":NAME,"outcome":OUTCOME,"crc":CRC,"reason":TEXT,"warning":TEXT}
  {"broker":URI,"configuration":FILE,"outcome":OUTCOME,"reason":TEXT,"warning":TEXT}
  {"summary":{OUTCOME:COUNT,...},"exit":STATUS}     (the last line)
"reason" and "warning" only where there is one; outcomes as in the text lines.

Timestamps: a rule whose timestamp line ("// 1765090800") is not newer than
the installed version's is kept out, and the service answers "outdated"; this
holds also when only the IO structure changed, so the installed file keeps
the old names. --retranslate puts the current time into the timestamp line of
what is published (the files are not changed), so that the service translates
such rules again against its current IO structure. Afterwards, the files' own
texts are older than what is installed: give a changed rule a new timestamp.

--check publishes no rule: it asks the service for its inventory and prints
for each rule "<name>: in place" (installed from this text, translated
against the current IO structure), "would be sent" (not installed, another
text, its file changed or gone), or "stale" (this text, but it failed to
translate against the current IO structure: sending it again will not help);
and for each rule installed and not given "not in the set" ("would be
removed" with --prune). A service that gives no inventory within the timeout
is judged by the retained status of each rule instead (standard error says
so): "in place" when the status carries the CRC-32 of this text.

--prune, after a successful deployment, removes every rule that the
inventory lists and that is not given; files the service did not install
("unknown") only with --prune-unknown. It needs the rules to keep.
--list prints each controller's inventory: "<name>: <state>, crc <crc>,
timestamp <t>, file <file>[: <reason>]", the state one of current, stale,
modified, missing, unknown.

Options:
  --broker URI         an MQTT broker: scheme://host[:port], the scheme tcp or
                       mqtt, or ssl or mqtts for TLS; may be given more than
                       once; default: $MQTT_BROKER_URL, else
                       tcp://127.0.0.1:1883
  --timeout SECONDS    how long to wait for the service to be ready, and for
                       each result (default 10; fractions allowed)
  --retries N          how often a rule without a result is sent again
                       (default 3)
  --deadline SECONDS   the most the run may take on each broker (default:
                       (2 * (N + 1) + 1) timeouts for the configuration and
                       for each 100 rules; fractions allowed)
  --name NAME          the rule name of the single FILE or of standard input
  --configuration FILE publish FILE (JSON) as the IO structure first
  --clear              allow empty rule texts, which remove installed rules
  --retranslate        put the current time into each rule's timestamp line
                       as published, so that the service translates it again
  --check              dry run: say what a deployment would change, publish
                       no rule
  --prune              remove the installed rules that are not given
  --prune-unknown      with --prune: also files the service did not install
  --list               print what each controller has installed
  --prefix P           the service's topics are under P on the broker
  --fleet FILE         the controllers, one per line (see above)
  --json               JSON lines instead of text on standard output
  --sign-key FILE      sign every rule, removal and the configuration with
                       this Ed25519 private key (PEM, as openssl genpkey
                       -algorithm ed25519 writes it), for a service in signed
                       mode; each rule then needs a timestamp line
  --cert FILE          the client certificate (PEM) to log in to TLS brokers
                       with; needs --key (default: $MQTT_CERT_FILE)
  --key FILE           its private key (default: $MQTT_KEY_FILE)
  --ca FILE            the CA certificate that a TLS broker's certificate must
                       be signed by (default: $MQTT_CA_FILE)
  --version            print the version and exit
  --help               this text

Environment: MQTT_BROKER_URL (see --broker); MQTT_USERNAME and
MQTT_PASSWORD_FILE (a file holding the password) to log in, the same for
every broker (a fleet file's user= replaces both on its line);
MQTT_CA_FILE, MQTT_CERT_FILE and MQTT_KEY_FILE (see --ca, --cert, --key).

Exit status:
  0    every rule ended installed, cleared or unchanged (a configuration:
       accepted or unchanged); with --check: nothing would change
  1    a rule ended outdated, rejected or failed (a configuration: rejected)
  2    bad usage (a malformed broker address included), an empty rule text
       without --clear, a file that cannot be read (the password, key and
       certificate files included), a signing key that cannot be used, or a
       rule to sign without a timestamp line; nothing was published
  3    the service did not answer: not ready in time, no IO structure,
       results missing after the retries, the broker not answering, or the
       deadline passed (with --check: the broker was not reached; --list:
       no inventory); or two services answer under one prefix
  4    with --check: a rule would be sent, is stale, or would be removed
  5    the broker refused the connection (bad user name or password, not
       authorised)
  6    every rule in place, and one installed with a warning (its text does
       not parse, or a placeholder resolved to an empty name)
  130  interrupted by SIGINT (Ctrl-C), 143 by SIGTERM, before every run was
       done: the outcomes known so far are printed, the rest as "no result",
       and the summary (a signal after that leaves the status as it is)
  With several controllers, the worst over all of them: 5, then 3, 4, 1, 6,
  0.
)";
}

}  // namespace talvoro::push

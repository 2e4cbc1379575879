#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>
#include <system_error>

#include "host/content_type.h"
#include "runtime/ascii.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor::apps {
namespace {

// The single value of an option, as Program_options hands it over.
const std::string& SingleValue(boost::any& out, const std::vector<std::string>& values) {
  po::validators::check_first_occurrence(out);
  return po::validators::get_single_string(values);
}

std::string EnvironmentName(std::string_view option) {
  std::string name = "PARCELMOOR_";
  for (char c : option) name += c == '-' ? '_' : AsciiToUpper(c);
  return name;
}

// Stores the options set in the environment, where the command line has not
// set them already. An empty variable counts as unset.
void StoreEnvironment(const po::options_description& options, po::variables_map& vm) {
  for (const auto& option : options.options()) {
    const std::string name = option->long_name();
    if (name == "help") continue;
    const std::string variable = EnvironmentName(name);
    const char* value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0') continue;
    po::parsed_options parsed(&options);
    parsed.options.emplace_back(name, std::vector<std::string>{value});
    try {
      po::store(parsed, vm);
    } catch (const po::error& e) {
      throw po::error(variable + "=" + value + " is refused: " + e.what());
    }
  }
}

[[noreturn]] void RefuseValue(const std::string& value, const std::string& wanted) {
  po::error_with_option_name e("%canonical_option% needs " + wanted + ", not '%value%'");
  e.set_substitute("value", value);
  throw e;
}

// The component counts fields and parts in 32 bits.
int64_t AtMostInt32(const char* option, int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) throw po::error(std::string(option) + " is at most 2147483647");
  return value;
}

}  // namespace

std::optional<int64_t> ParseByteCount(std::string_view text) {
  int64_t number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || text[0] == '-' || ec != std::errc()) return std::nullopt;
  std::string_view unit = text.substr(static_cast<size_t>(end - text.data()));
  int shift = 0;
  if (unit.size() == 1) {
    switch (AsciiToUpper(unit[0])) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      case 'T': shift = 40; break;
      default: return std::nullopt;
    }
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (number > (std::numeric_limits<int64_t>::max() >> shift)) return std::nullopt;
  return number << shift;
}

void validate(boost::any& out, const std::vector<std::string>& values, ByteCount*, int) {
  auto n = ParseByteCount(SingleValue(out, values));
  if (!n) RefuseValue(values.front(), "a byte count such as 1048576, 100K, 512M or 4G");
  out = ByteCount{*n};
}

void validate(boost::any& out, const std::vector<std::string>& values, Seconds*, int) {
  const std::string& text = SingleValue(out, values);
  double seconds = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) || seconds > 86400) {
    RefuseValue(text, "a positive number of seconds, at most 86400");
  }
  out = Seconds{std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)))};
}

po::options_description PageOptions(UploadSettings& s) {
  po::options_description d("Upload options");
  auto cutAsked = std::make_shared<bool>(false);
  d.add_options()
      ("dir", po::value<std::string>()->value_name("DIR")->notifier([&s](const std::string& v) {
         s.uploadDirectory = v;
       }), "directory the files are stored in, created (with its parents) when missing (default ./uploads); "
           "s3://BUCKET/PREFIX stores them in an object store (see the object store options)")
      ("max-file-size", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.maxFileBytes = v.value;
       }), "largest size of one file; a larger file is refused with 413 (serve and cgi) or cut at this size "
           "(store, or --cut-max-file) (default: no limit)")
      ("max-field-size", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.maxFieldBytes = AtMostInt32("--max-field-size", v.value);
       }), "longest value of one text field; a longer one stops the upload with 413 "
           "(serve and cgi: 1M unless given; 0: no limit)")
      ("max-total-field-size", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.maxTotalFieldBytes = AtMostInt32("--max-total-field-size", v.value);
       }), "most bytes of all text fields of one upload together; more stop it with 413 "
           "(serve and cgi: 10M unless given; 0: no limit)")
      ("max-parts", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 0) throw po::error("--max-parts needs a number of parts (0: no limit)");
         s.maxParts = n;
       }), "most parts (fields and files) of one upload; more stop it with 413 "
           "(serve and cgi: 10000 unless given; 0: no limit)")
      ("allow-types", po::value<std::string>()->value_name("LIST")->notifier([&s](const std::string& v) {
         std::string why;
         if (!ParseTypePatterns(v, s.allowedTypes, why)) throw po::error("--allow-types: " + why);
         if (!TypeSniffingAvailable(why)) throw po::error("--allow-types: " + why);
       }), "store only files whose content (told from their first bytes, not from the client's type or "
           "the name) is one of these MIME types, such as image/*,application/pdf; another file is not "
           "stored and the upload is answered 415 (default: any type)")
      // Notifiers run in the order of the options' names: --cut-max-file's
      // first, so --delete-max-file can tell that both were given.
      ("cut-max-file", po::bool_switch()->notifier([&s, cutAsked](bool on) {
         if (on) s.deleteOverLimit = false;
         *cutAsked = on;
       }), "keep the first --max-file-size bytes of a larger file, answered as stored (store: the default)")
      ("delete-max-file", po::bool_switch()->notifier([&s, cutAsked](bool on) {
         if (on && *cutAsked) throw po::error("--delete-max-file and --cut-max-file cannot both be given");
         if (on) s.deleteOverLimit = true;
       }), "refuse a file that is larger than --max-file-size: nothing of it is kept and the upload is "
           "answered 413, the other files kept (serve and cgi: the default; store: off)")
      ("keep-partial", po::bool_switch(&s.keepPartial),
       "keep the files of an upload that did not arrive whole (default: delete them)")
      ("on-exists", po::value<std::string>()->value_name("MODE")->notifier([&s](const std::string& v) {
         if (v == "replace") s.onExists = OnExists::kReplace;
         else if (v == "keep-both") s.onExists = OnExists::kKeepBoth;
         else if (v == "refuse") s.onExists = OnExists::kRefuse;
         else throw po::error("--on-exists needs replace, keep-both or refuse");
       }), "when a file of the same name is already stored, or comes earlier in the same upload: replace it, "
           "keep-both (the new file takes the first free name of 'x (1).txt', 'x (2).txt', ...; never "
           "overwrites), or refuse (the earlier file stays, the new one is not stored, answer 409) "
           "(serve and cgi: keep-both unless given; store: replace)")
      ("checksum", po::value<std::string>()->value_name("KIND")->notifier([&s](const std::string& v) {
         if (v == "sha256") s.checksums = true;
         else if (v == "none") s.checksums = false;
         else throw po::error("--checksum needs sha256 or none");
       }), "sha256: give each stored file's record the SHA-256 of its stored bytes, computed as they "
           "arrive; none: no checksum (serve and cgi: sha256 unless given; store: none)")
      ("sync", po::bool_switch()->notifier([&s](bool on) { s.sync = s.sync || on; }),
       "make each stored file and its name durable (fdatasync, directory fsync) before saying it is "
       "stored (serve and cgi: on unless --no-sync)")
      ("scan", po::value<std::string>()->value_name("clamd:unix:PATH|clamd:tcp:HOST:PORT")
                   ->notifier([&s](const std::string& v) {
         std::string why;
         s.scan = ClamdTarget::Parse(v, why);
         if (!s.scan) throw po::error("--scan: " + why);
       }), "scan every file with this clamd before it is stored: an infected file is not stored (422), "
           "and when the scanner cannot be reached or fails, nothing of the upload is stored (503); "
           "not with an s3:// --dir")
      ("scan-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         // Notifiers run in the order of the options' names: --scan's first.
         if (!s.scan) throw po::error("--scan-timeout needs --scan");
         s.scan->timeout = v.value;
       }), "seconds one file's scan may take (default 30)");
  d.add(ObjectStoreOptions(s));
  return d;
}

po::options_description ObjectStoreOptions(UploadSettings& s) {
  po::options_description d("Object store options (with --dir s3://BUCKET/PREFIX; the credentials come from "
                            "AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN)");
  d.add_options()
      ("s3-endpoint", po::value<std::string>()->value_name("URL")->notifier([&s](const std::string& v) {
         if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0) {
           throw po::error("--s3-endpoint needs an http:// or https:// URL");
         }
         s.s3.endpoint = v;
       }), "the store's URL, addressed path-style (URL/BUCKET/KEY) (default: AWS's endpoint for --s3-region)")
      ("s3-region", po::value<std::string>(&s.s3.region)->value_name("REGION"),
       "the region requests are signed for (default us-east-1)")
      ("s3-part-size", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         if (v.value < kS3MinPartSize || v.value > (int64_t{5} << 30)) {
           throw po::error("--s3-part-size needs a size from 5M to 5G");
         }
         s.s3.partSize = v.value;
       }), "bytes of a file sent to the store at once; each file being received holds two parts in memory "
           "(one received while the other is sent), and a file may have 10000 parts (default 8M)")
      ("s3-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.s3.stallTimeout = std::chrono::ceil<std::chrono::seconds>(v.value);
       }), "seconds a request to the store may go without moving a byte before the upload fails with 504 "
           "(default 60)")
      ("s3-sweep-grace", po::value<int64_t>()->value_name("S")->notifier([&s](int64_t v) {
         if (v < 0) throw po::error("--s3-sweep-grace needs a number of seconds");
         s.s3.sweepGrace = std::chrono::seconds(v);
       }), "seconds a multipart upload nobody completed or aborted is left alone before a sweep aborts it; "
           "longer than any upload takes (default 86400)");
  return d;
}

po::options_description UploadOptions(UploadSettings& s) {
  po::options_description d = PageOptions(s);
  d.add_options()
      ("trusted-proxy", po::value<std::vector<std::string>>(&s.trustedProxies)->value_name("ADDRESS")->composing(),
       "a proxy (by address; may be given more than once) whose X-Forwarded-For names the client in the log")
      ("allow-hidden-names", po::bool_switch()->notifier([&s](bool on) {
         if (on) s.refuseHiddenNames = false;
       }), "store files whose names begin with '.' (default: refuse them with 422)")
      ("max-request-size", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.maxRequestBytes = v.value;
       }), "refuse a request body larger than this with 413, before reading it (default: no limit)")
      ("frame-ancestors", po::value<std::string>()->value_name("SOURCES")->notifier([&s](const std::string& v) {
         // One directive's sources: a ';' or ',' would start another, a
         // control byte would end the header.
         for (unsigned char c : v) {
           if (c < 0x20 || c == 0x7f || c == ';' || c == ',') throw po::error("--frame-ancestors: not a source list");
         }
         s.frameAncestors = v;
       }), "the sites that may show the page in a frame, as a Content-Security-Policy frame-ancestors source "
           "list such as \"'self' https://portal.example.org\" (default 'none': no site)")
      ("min-free-space", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.minFreeBytes = v.value;
       }), "refuse with 507, before reading it, an upload or resumable upload whose announced length would "
           "leave less free space than this on the upload directory's disk (serve and cgi: 256M unless given; "
           "0: no reserve)")
      ("no-sync", po::bool_switch()->notifier([&s](bool on) { s.sync = s.sync && !on; }),
       "answer without syncing stored files to disk: faster, but a power cut right after an answer "
       "can lose or empty files it said were stored (and the earlier files they replaced)");
  return d;
}

po::options_description ForwardOptions(ForwardSettings& s) {
  po::options_description d("Hand-off options");
  d.add_options()
      ("forward", po::value<std::string>()->value_name("URL")->notifier([&s](const std::string& url) {
         std::string why;
         s.target = ForwardTarget::Parse(url, why);
         if (!s.target) throw po::error("--forward: " + why);
       }), "hand each stored upload to the application at URL (http://HOST:PORT/PATH or "
           "unix:/SOCKET:/PATH); its answer goes to the client, and an upload it refuses is deleted")
      ("forward-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) { s.timeout = v.value; }),
       "seconds the application has to answer (default 30; 502/504 after)")
      ("forward-group", po::value<std::string>()->value_name("GROUP")->notifier([&s](const std::string& g) {
         // Notifiers run in the order of the options' names: --forward's first.
         if (!s.target) throw po::error("--forward-group needs --forward");
         s.group = g;
       }), "let the application's user, a member of GROUP, link or move the files waiting for its decision: "
           "the upload directory's private folder belongs to GROUP (setgid, group read and write) and so do "
           "its files (default: the server's alone)");
  return d;
}

po::options_description AuthorizeOptions(AuthorizeSettings& s) {
  po::options_description d("Authorization options");
  d.add_options()
      ("authorize", po::value<std::string>()->value_name("URL")->notifier([&s](const std::string& url) {
         std::string why;
         s.target = ForwardTarget::Parse(url, why);
         if (!s.target) throw po::error("--authorize: " + why);
       }), "before reading any body byte, ask the application at URL (as --forward) whether the upload may go "
           "on; a 2xx may narrow it, any other answer goes to the client")
      ("authorize-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) { s.timeout = v.value; }),
       "seconds the application has to decide (default 5; 504 after, 503 when it cannot be reached)")
      ("token-file", po::value(&s.tokenFile)->value_name("FILE"),
       "accept only uploads with 'Authorization: Bearer TOKEN', TOKEN a line of FILE (re-read when it changes); "
       "else 401");
  return d;
}

std::shared_ptr<const Authorization> MakeAuthorization(const AuthorizeSettings& s) {
  if (!s.target && s.tokenFile.empty()) return nullptr;
  auto authorization = std::make_shared<Authorization>();
  if (!s.tokenFile.empty()) authorization->tokens = std::make_shared<TokenFile>(s.tokenFile);
  if (s.target) {
    authorization->ask = [target = *s.target, timeout = s.timeout](const HandoffRequest& r) {
      return AskApplication(target, r, timeout);
    };
  }
  return authorization;
}

void ApplyServerDefaults(UploadSettings& s) {
  s.maxFieldBytes = kDefaultMaxFieldSize;
  s.maxParts = kDefaultMaxParts;
  s.maxTotalFieldBytes = kDefaultMaxTotalFieldSize;
  // Browsers send every empty optional file input: it must not end the form.
  s.skipEmptyFileInputs = true;
  s.sync = true;
  // A stored .htaccess or .env may change what serves the directory.
  s.refuseHiddenNames = true;
  s.checksums = true;
  // On a public endpoint a file cut short but answered as stored, or one
  // visitor's file replacing another's, is silent data loss: refuse the
  // one, keep both of the other, unless the operator asks for the old way.
  s.deleteOverLimit = true;
  s.onExists = OnExists::kKeepBoth;
  // Anonymous uploaders learn the names they were given, not where the
  // server keeps its files.
  s.clientPathsRelative = true;
  s.minFreeBytes = kDefaultMinFreeSpace;
}

Parsed ParseCommand(Command& command, int argc, char** argv, std::string& error) {
  command.options.add_options()("help,h", "show this help and exit");
  try {
    po::variables_map vm;
    // The vector form: the (argc, argv) form would skip argv[0] as the
    // program's name, and these are the arguments after the command's.
    std::vector<std::string> args(argv, argv + argc);
    po::store(po::command_line_parser(args).options(command.options).positional(command.positional).run(), vm);
    if (vm.count("help")) {
      std::fputs(HelpText(command).c_str(), stdout);
      return Parsed::kHelpShown;
    }
    if (command.fromEnvironment) StoreEnvironment(command.options, vm);
    po::notify(vm);
  } catch (const po::error& e) {
    error = e.what();
    return Parsed::kBad;
  }
  return Parsed::kRun;
}

std::string HelpText(const Command& command) {
  std::ostringstream out;
  // The usage line, what the command does and each group of options are
  // paragraphs of their own; the wrapping group gives the longest option
  // name room before its description.
  std::string_view synopsis = command.synopsis;
  size_t usageEnd = synopsis.find('\n');
  out << synopsis.substr(0, usageEnd) << "\n";
  if (usageEnd != std::string_view::npos) out << "\n" << synopsis.substr(usageEnd + 1) << "\n";
  po::options_description all;
  all.add(command.options);
  out << all;
  return out.str();
}

int UsageError(const Command& command, const std::string& error) {
  std::string invoked = command.name.empty() ? "parcelmoor" : "parcelmoor " + command.name;
  std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", invoked.c_str(), error.c_str(),
               invoked.c_str());
  return 2;
}

}  // namespace parcelmoor::apps

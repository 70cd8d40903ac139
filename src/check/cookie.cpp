#include "check/cookie.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "check/check_config.h"
#include "check/command.h"
#include "check/report.h"
#include "check/unit.h"

static constexpr char cookie_item[] = "X cookie";
static constexpr uid_t unknown_id = static_cast<uid_t>(-1);

// Whoever meets the X server as tavrin does: the service as systemd starts
// it, or, where systemd cannot be asked, the check itself.
struct reader {
	int from_systemd;
	uid_t uid;
	gid_t gid;
	char user[state_word_size];
	// Its XAUTHORITY, or empty.
	char named[path_buffer_size];
};

// A cookie as that reader would open it: 0 or why it cannot, and the file
// found where it could not.
struct cookie {
	char path[path_buffer_size];
	char resolved[PATH_MAX];
	int error;
	// The cookie's own mode stops the reader, not a directory above it.
	int by_mode;
	struct stat status;
};

static reader service{};
static long server_pid = -1;
// The server's command line was read; its -auth, when it has one, is here.
static int server_seen = 0;
static cookie server_cookie{};
static cookie named_cookie{};
// What getpwnam_r and getgrnam_r fill the entries' strings from.
static char account_buffer[account_buffer_size];
static char command_line[path_buffer_size];

long x_server_pid()
{
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	static_assert(sizeof x_socket_path <= sizeof address.sun_path);
	std::memcpy(address.sun_path, x_socket_path, sizeof x_socket_path);
	// Non-blocking, so that a server whose backlog is full cannot stall the
	// check: it is there all the same.
	const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return -1;
	long pid = -1;
	if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
		// The credentials of the process that called listen(): the server.
		ucred peer{};
		socklen_t size = sizeof peer;
		pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
	} else if (errno == EAGAIN) {
		pid = 0;
	}
	close(fd);
	return pid;
}

// The argument after -auth on the server's command line, whose arguments
// /proc separates with NULs. Returns 1 when the command line could be read.
static int read_server_cookie(long pid)
{
	char path[report_line_size];
	(void)std::snprintf(path, sizeof path, server_command_line_format, pid);
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	std::size_t length = 0;
	while (length < sizeof command_line - 1) {
		const ssize_t n = read(fd, command_line + length, sizeof command_line - 1 - length);
		if (n <= 0)
			break;
		length += static_cast<std::size_t>(n);
	}
	close(fd);
	command_line[length] = '\0';
	for (std::size_t at = 0; at < length; at += std::strlen(command_line + at) + 1) {
		const std::size_t next = at + std::strlen(command_line + at) + 1;
		if (std::strcmp(command_line + at, x_auth_option) == 0 && next < length) {
			(void)std::snprintf(server_cookie.path, sizeof server_cookie.path, "%s",
					    command_line + next);
			break;
		}
	}
	// A process that has exited, or that the check may not look into, reads empty.
	return length > 0;
}

// XAUTHORITY among the Environment= assignments, which systemctl separates
// with spaces and quotes, C-style, where a value holds one. A later
// assignment wins, as it does for the service.
static void take_xauthority(const char *value, int length)
{
	const char *end = value + length;
	char token[path_buffer_size];
	for (const char *at = value; at < end;) {
		while (at < end && *at == ' ')
			++at;
		const int quoted = at < end && *at == '"';
		at += quoted;
		std::size_t used = 0;
		for (; at < end && *at != (quoted ? '"' : ' '); ++at) {
			if (quoted && *at == '\\' && at + 1 < end)
				++at;
			if (used + 1 < sizeof token)
				token[used++] = *at;
		}
		at += quoted && at < end;
		token[used] = '\0';
		if (std::strncmp(token, xauthority_assignment, sizeof xauthority_assignment - 1) ==
		    0)
			(void)std::snprintf(service.named, sizeof service.named, "%s",
					    token + sizeof xauthority_assignment - 1);
	}
}

// The user and group a User= and Group= name; root for neither.
static void take_credentials(const char *user, int user_length, const char *group_name,
			     int group_length)
{
	service.uid = 0;
	service.gid = 0;
	(void)std::snprintf(service.user, sizeof service.user, "%s", root_user);
	if (user_length > 0) {
		(void)std::snprintf(service.user, sizeof service.user, "%.*s", user_length, user);
		passwd entry{};
		passwd *found = nullptr;
		(void)getpwnam_r(service.user, &entry, account_buffer, sizeof account_buffer,
				 &found);
		service.uid = found != nullptr ? entry.pw_uid : unknown_id;
		service.gid = found != nullptr ? entry.pw_gid : unknown_id;
	}
	if (group_length > 0) {
		char name[state_word_size];
		(void)std::snprintf(name, sizeof name, "%.*s", group_length, group_name);
		group entry{};
		group *found = nullptr;
		(void)getgrnam_r(name, &entry, account_buffer, sizeof account_buffer, &found);
		service.gid = found != nullptr ? entry.gr_gid : unknown_id;
	}
}

// The check's own environment stands for the service's where systemd
// cannot say: the README has the admin run it as the service runs.
static void take_own_environment()
{
	service.from_systemd = 0;
	service.uid = geteuid();
	const char *named = std::getenv(xauthority_variable);
	const char *home = std::getenv("HOME");
	if (named != nullptr)
		(void)std::snprintf(service.named, sizeof service.named, "%s", named);
	else if (home != nullptr)
		(void)std::snprintf(service.named, sizeof service.named, "%s/%s", home,
				    home_cookie_name);
}

static void ask_service()
{
	const char *answer = nullptr;
	int load_length = 0;
	if (ask_unit(&answer) == 0 ||
	    std::strncmp(unit_property("LoadState", &load_length), "loaded", 6) != 0) {
		take_own_environment();
		return;
	}
	service.from_systemd = 1;
	int user_length = 0;
	int group_length = 0;
	const char *user = unit_property("User", &user_length);
	const char *group = unit_property("Group", &group_length);
	take_credentials(user, user_length, group, group_length);
	int environment_length = 0;
	const char *environment = unit_property("Environment", &environment_length);
	take_xauthority(environment, environment_length);
}

// What the kernel grants a process without CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH: the owner's bits to the owner, the group's to the
// group, the others' to everyone else.
static int grants(const struct stat &status, unsigned other_bit)
{
	const int shift = status.st_uid == service.uid ? 6 : status.st_gid == service.gid ? 3 : 0;
	return ((status.st_mode >> shift) & other_bit) != 0;
}

// Every directory on the way must let the reader search it.
static int directories_searchable(const char *resolved)
{
	char directory[PATH_MAX];
	for (std::size_t i = 0; resolved[i] != '\0'; ++i) {
		if (resolved[i] != '/')
			continue;
		(void)std::snprintf(directory, sizeof directory, "%.*s",
				    i == 0 ? 1 : static_cast<int>(i), resolved);
		struct stat status {
		};
		if (stat(directory, &status) != 0 || !grants(status, S_IXOTH))
			return 0;
	}
	return 1;
}

// Judges the cookie at c->path for the reader: the service's credentials
// where systemd described them, the check's own where it did not.
static void judge(cookie *c)
{
	const char *path = c->path;
	c->error = 0;
	c->by_mode = 0;
	if (realpath(path, c->resolved) == nullptr || stat(c->resolved, &c->status) != 0) {
		c->error = errno;
		(void)std::snprintf(c->resolved, sizeof c->resolved, "%s", path);
		return;
	}
	if (service.from_systemd == 0) {
		c->error = access(c->resolved, R_OK) == 0 ? 0 : errno;
		c->by_mode = c->error != 0;
		return;
	}
	c->by_mode = !grants(c->status, S_IROTH);
	c->error = c->by_mode || !directories_searchable(c->resolved) ? EACCES : 0;
}

void prepare_cookie()
{
	server_pid = x_server_pid();
	server_cookie.path[0] = '\0';
	server_seen = server_pid > 0 && read_server_cookie(server_pid);
	ask_service();
	if (server_cookie.path[0] != '\0')
		judge(&server_cookie);
	if (service.named[0] != '\0') {
		(void)std::snprintf(named_cookie.path, sizeof named_cookie.path, "%s",
				    service.named);
		judge(&named_cookie);
	}
	if (service.from_systemd != 0)
		(void)setenv(xauthority_variable,
			     service.named[0] != '\0' && named_cookie.error == 0 ? service.named
										 : no_cookie_file,
			     1);
}

int cookie_server_seen()
{
	return server_seen != 0 && server_cookie.path[0] != '\0';
}

static const char *reader_name()
{
	return service.from_systemd != 0 ? watcher_unit : "tavrin";
}

// ", owner kiosk, mode 0600: tavrin.service, as root without capabilities,
// cannot read it", or why else it cannot.
static void describe_unreadable(const cookie &c, char *out, std::size_t size)
{
	if (c.error != EACCES) {
		(void)std::snprintf(out, size, ": %s", std::strerror(c.error));
		return;
	}
	passwd owner{};
	passwd *found = nullptr;
	if (c.by_mode)
		(void)getpwuid_r(c.status.st_uid, &owner, account_buffer, sizeof account_buffer,
				 &found);
	char owner_name[state_word_size];
	if (found != nullptr)
		(void)std::snprintf(owner_name, sizeof owner_name, "%s", owner.pw_name);
	else
		(void)std::snprintf(owner_name, sizeof owner_name, "%ld",
				    static_cast<long>(c.status.st_uid));
	char reader[report_line_size / 2];
	if (service.from_systemd != 0)
		(void)std::snprintf(reader, sizeof reader, "%s, as %s without capabilities,",
				    reader_name(), service.user);
	else
		(void)std::snprintf(reader, sizeof reader, "%s", reader_name());
	if (c.by_mode)
		(void)std::snprintf(out, size, ", owner %s, mode %04o: %s cannot read it",
				    owner_name, static_cast<unsigned>(c.status.st_mode & 07777),
				    reader);
	else
		(void)std::snprintf(out, size, ": %s cannot search a directory above it", reader);
}

static void report_unreadable(const cookie &c, const char *whose)
{
	char why[report_line_size];
	describe_unreadable(c, why, sizeof why);
	report(VERDICT_FAIL, cookie_item, "%s, %s%s", c.path, whose, why);
	const char *user = service.user[0] != '\0' ? service.user : root_user;
	report_fix("let %s in by its uid from the X session's start-up (~/.xinitrc, before the "
		   "session's program): xhost +si:localuser:%s; or a cookie it can read",
		   user, user);
}

static void report_drop_in_fix()
{
	report_fix("mkdir -p %s %s && printf '[Service]\\nEnvironment=XAUTHORITY=%s\\n' >%s && "
		   "ln -sf ../tavrin.service.d/xauthority.conf %s && systemctl daemon-reload && "
		   "systemctl restart tavrin",
		   cookie_drop_in_dir, check_drop_in_dir, server_cookie.path, cookie_drop_in,
		   check_drop_in_dir);
}

// The service names another cookie than the server's, or none: X restarted
// by a display manager writes its new cookie to its own path only.
static void report_other_cookie(int verdict, int named)
{
	report(verdict, cookie_item, "%s names %s, the X server takes %s", reader_name(),
	       named ? service.named : "none", server_cookie.path);
	if (server_cookie.error == 0)
		report_drop_in_fix();
}

static void report_answered(int named, int same)
{
	if (same && named_cookie.error == 0)
		report(VERDICT_OK, cookie_item, "%s, the X server's, readable by %s",
		       server_cookie.path, reader_name());
	else if (named && !same)
		report_other_cookie(VERDICT_WARN, named);
	else
		report(VERDICT_OK, cookie_item,
		       "%s, the X server's, unused: the server lets %s in without it",
		       server_cookie.path, reader_name());
}

// Where the server cannot be seen (its process hidden, or gone), only what
// the service names can be judged.
static void report_named_only(int answered)
{
	if (service.named[0] == '\0') {
		report(answered != 0 ? VERDICT_OK : VERDICT_WARN, cookie_item,
		       "none named by %s; the X server cannot be seen here", reader_name());
	} else if (named_cookie.error == 0) {
		report(VERDICT_OK, cookie_item, "%s, named by %s, readable by it", service.named,
		       reader_name());
	} else if (answered != 0) {
		report(VERDICT_OK, cookie_item,
		       "%s, named by %s, unused: the server lets it in without it", service.named,
		       reader_name());
	} else {
		char whose[report_line_size];
		(void)std::snprintf(whose, sizeof whose, "named by %s", reader_name());
		report_unreadable(named_cookie, whose);
	}
}

void report_cookie_unchecked(const char *why)
{
	report_unchecked(cookie_item, why);
}

void report_cookie(int answered)
{
	if (server_pid < 0) {
		report_cookie_unchecked("no X server listens");
		return;
	}
	if (server_seen == 0) {
		report_named_only(answered);
		return;
	}
	if (server_cookie.path[0] == '\0') {
		report(VERDICT_OK, cookie_item, "none: the X server takes none");
		return;
	}
	const int named = service.named[0] != '\0';
	const int same = named && std::strcmp(named_cookie.resolved, server_cookie.resolved) == 0;
	if (answered != 0)
		report_answered(named, same);
	else if (server_cookie.error != 0)
		report_unreadable(server_cookie, "the X server's");
	else if (!same)
		report_other_cookie(VERDICT_FAIL, named);
	else
		report(VERDICT_FAIL, cookie_item,
		       "%s, the X server's, readable by %s, and refused all the same",
		       server_cookie.path, reader_name());
}

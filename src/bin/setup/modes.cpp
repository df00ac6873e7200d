#include "bin/setup/modes.hpp"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include <sys/stat.h>

#include "install/build_swap.hpp"
#include "install/scan.hpp"
#include "install/windows_steps.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/folder_lock.hpp"
#include "platform/fs_ops.hpp"
#include "platform/process.hpp"
#include "platform/protected_folders.hpp"
#include "platform/sleep.hpp"
#include "release/install_layout.hpp"
#include "release/installed_release.hpp"
#include "release/offered_release.hpp"

namespace {

namespace fs = std::filesystem;

// Its metadata can be read, links followed.
bool path_exists(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

void remove_folder(const fs::path& folder) { (void)remove_tree(folder); }

// One run at a time per installation: the lock lies on the folder that holds
// the work folders, which two runs would otherwise clear under each other.
// An install folder that is a link keeps them beside the link, while a run
// given the real path keeps them beside the real folder: the real folder's
// parent is locked as well. A run that may install makes the work folders'
// parent first, so that a first install on a new machine is guarded from its
// start; an uninstall has nothing to guard where it does not exist.
struct InstallationLock {
  FolderLock work_parent;
  FolderLock real_parent;  // held only where it is another folder
  // The work folders under work_parent, worked out once for the run; none
  // when the install folder has no parent to hold them.
  std::optional<WorkFolders> folders;
};

bool same_folder(const fs::path& a, const fs::path& b) {
  struct stat a_st {};
  struct stat b_st {};
  return ::stat(a.empty() ? "." : a.c_str(), &a_st) == 0 &&
         ::stat(b.empty() ? "." : b.c_str(), &b_st) == 0 && a_st.st_dev == b_st.st_dev &&
         a_st.st_ino == b_st.st_ino;
}

std::expected<InstallationLock, ErrorText> lock_installation(const fs::path& install_dir,
                                                             bool make_parent) {
  InstallationLock lock;
  const auto folders = work_folders(install_dir);
  if (!folders) return lock;
  lock.folders = *folders;
  if (make_parent && !folders->parent.empty()) {
    std::error_code error;
    fs::create_directories(folders->parent, error);
  }
  const ErrorText busy = "setup is already running for " + display(install_dir);
  LockAttempt attempt = try_lock_folder(folders->parent);
  if (attempt.state == LockAttempt::busy) return std::unexpected(busy);
  lock.work_parent = std::move(attempt.lock);

  std::error_code error;
  const fs::path real = fs::canonical(install_dir, error);
  if (error) return lock;
  const std::optional<fs::path> real_parent = install_parent(real);
  if (!real_parent || same_folder(*real_parent, folders->parent)) return lock;
  attempt = try_lock_folder(*real_parent);
  if (attempt.state == LockAttempt::busy) return std::unexpected(busy);
  lock.real_parent = std::move(attempt.lock);
  return lock;
}

using RunResult = std::expected<fs::path, ErrorText>;

RunResult offline_result(const Settings& settings, const ErrorText& fetch_error,
                         const RunOptions& options) {
  const auto installed = load_installed_release(settings.install_dir, options.pass.public_key_hex);
  if (!installed) return std::unexpected(fetch_error);
  print("(" + fetch_error + ") - checking Reef Town " + installed->version + " offline\n");
  const ScanReport report = scan_install(settings.install_dir, *installed);
  if (!report.problems.empty())
    return std::unexpected("the game files were changed (" + report.problems.front() +
                           "); connect to the internet so setup can repair them");
  return settings.install_dir / installed->launch;
}

RunResult online_result(const Settings& settings, ReleaseInfo offered, const RunOptions& options) {
  const fs::path& install_dir = settings.install_dir;
  std::optional<ReleaseInfo> installed =
      load_installed_release(install_dir, options.pass.public_key_hex);
  ReleaseInfo target;
  if (installed && installed->released > offered.released) {
    print("(the server offers " + offered.version + ", older than the installed " +
          installed->version + "; keeping " + installed->version + ")\n");
    target = std::move(*installed);
  } else {
    target = std::move(offered);
  }
  installed.reset();

  for (int passes_left = MAX_PASSES; passes_left > 0; --passes_left) {
    auto outcome = install_pass(settings.base_url, install_dir, target, options.pass);
    if (!outcome) return std::unexpected(std::move(outcome.error()));
    if (std::holds_alternative<UpToDate>(*outcome)) {
      print("Reef Town " + target.version + " - up to date, all " +
            std::to_string(target.files.size()) + " files verified.\n");
      break;
    }
    if (auto* newer = std::get_if<NewerRelease>(&*outcome)) {
      target = std::move(newer->release);
      continue;
    }
    print("Checking for updates again...\n");
    auto fresh = fetch_offered_release(settings.base_url, options.pass.public_key_hex,
                                       options.pass.download.agent);
    if (fresh && fresh->version != target.version && passes_left != 1 &&
        fresh->released > target.released) {
      print("Reef Town " + fresh->version + " is out - updating again.\n");
      target = std::move(*fresh);
    }
  }

  fs::path game = install_dir / target.launch;
  if (!path_exists(game))
    return std::unexpected(ErrorText("the game is not installed completely; run setup again"));
  return game;
}

// Why the shell must not be asked to remove the folder whose real path is
// `real`, in the words of the "left as it is" line; none when it may. Only a
// folder that holds a verified installation (a commit cut short included) or
// nothing may go, and never the root, a home folder or one above it: a stray
// ".version" must not cost a user the folder it lies in.
std::optional<std::string> removal_refusal(const fs::path& real, const RunOptions& options) {
  const std::string no_installation = " holds no Reef Town installation";
  struct stat own {};
  if (::stat(real.c_str(), &own) != 0 || !S_ISDIR(own.st_mode)) return no_installation;
  std::error_code error;
  const bool empty = fs::is_empty(real, error) && !error;
  if (!empty && !load_committed_release(real, options.pass.public_key_hex)) return no_installation;
  if (is_root_or_above_home(own, home_folders(options.password_home)))
    return " is the root, a home folder or a folder above one";
  // The shell's command text carries the path between double quotes, where
  // '"' would end it and '%' would be expanded.
  if (real.native().find_first_of("\"%\r\n") != std::string::npos)
    return " has a '\"', '%' or line break in its path, which the removal command cannot carry,";
  return std::nullopt;
}

}  // namespace

int run_normal(const Settings& settings, const RunOptions& options) {
  auto lock = lock_installation(settings.install_dir, true);
  if (!lock) return fail_with(lock.error(), options.input_fd);
  // A run killed between the renames of the release files left copies that
  // complete them; online or offline, this run starts from that release.
  if (lock->folders) {
    (void)finish_interrupted_commit(settings.install_dir, *lock->folders, options.pass.public_key_hex);
    remove_folder(lock->folders->old_dir);
  }

  print("Reef Town\n=========\n\n");
  print("Checking for updates...\n");
  auto offered = fetch_offered_release(settings.base_url, options.pass.public_key_hex,
                                       options.pass.download.agent);
  const RunResult result = offered ? online_result(settings, std::move(*offered), options)
                                   : offline_result(settings, offered.error(), options);
  if (!result) return fail_with(result.error(), options.input_fd);
  if (!settings.launch) return 0;

  print("Starting Reef Town...\n");
  // Absolute, so that the path still names the game from inside its own
  // working folder when the install folder is relative.
  std::error_code error;
  const fs::path game = fs::absolute(*result, error);
  const fs::path working = fs::absolute(settings.install_dir, error);
  start_detached(game, working);
  sleep_seconds(options.launch_sleep_s);
  return 0;
}

int run_uninstall(const Settings& settings, const RunOptions& options) {
  const fs::path& install_dir = settings.install_dir;
  auto lock = lock_installation(install_dir, false);
  if (!lock) return fail_with(lock.error(), options.input_fd);

  // A run killed between the renames of the release files left the staged
  // copies that complete them; they go with the work folders below, so the
  // commit is completed first and the folder is judged by what it holds.
  if (lock->folders)
    (void)finish_interrupted_commit(install_dir, *lock->folders, options.pass.public_key_hex);

  print("Removing Reef Town from " + display(install_dir) + "...\n");
  if (const auto installed = load_committed_release(install_dir, options.pass.public_key_hex)) {
    if (path_exists(anti_cheat_installer(install_dir)) &&
        !installed->eac_product_id.empty())
      run_powershell(anti_cheat_script(install_dir, installed->eac_product_id, "uninstall"));
  }
  run_powershell(std::string(REMOVE_SHORTCUTS_SCRIPT));
  delete_uninstall_entry();
  if (install_parent(install_dir)) {
    if (const std::optional<WorkFolders>& folders = lock->folders) {
      remove_folder(folders->cache_dir);
      remove_folder(folders->stage_dir);
      remove_folder(folders->old_dir);
    }
  }

  // The shell gets the real path, the one the work folders lie beside: it
  // cannot remove a folder named through a link, "." or "x/..".
  struct stat entry {};
  const fs::path given = without_trailing_slashes(install_dir);
  if (::lstat(given.c_str(), &entry) == 0) {
    std::error_code error;
    const fs::path real = fs::canonical(install_dir, error);
    const std::optional<std::string> refusal =
        error ? std::optional<std::string>(" holds no Reef Town installation")
              : removal_refusal(real, options);
    if (refusal) {
      print("(" + display(install_dir) + *refusal + " and was left as it is)\n");
    } else {
      start_program_detached(
          "cmd", {"/C", "timeout /t 2 /nobreak >nul & rmdir /s /q \"" + real.native() + "\""});
      // The link that named the folder goes with it.
      if (S_ISLNK(entry.st_mode)) (void)::unlink(given.c_str());
    }
  }
  print("Reef Town was removed. Your Epic account and city progress stay on our servers.\n");
  pause_for_enter(options.input_fd);
  return 0;
}

int fail_with(const ErrorText& error, int input_fd) {
  print("\nReef Town could not start: " + error + "\n");
  pause_for_enter(input_fd);
  return 1;
}

void pause_for_enter(int input_fd) {
  print("\nPress Enter to close.");
  (void)read_line(input_fd);
}

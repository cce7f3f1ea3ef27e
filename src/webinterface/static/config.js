// The configuration page: builds a form from the JSON types of the values, the keys to fill in first on
// top, then one per settings section, each key with a line of help; shows the status of the checks and
// runs them with the values in the form; saves the changed values to this page's own address. The page is
// never given a saved password: such a field stays empty until one is typed, and an empty one is neither
// saved (the saved password stays) nor sent to the checks (which use the saved one for the saved address only).
'use strict';

(function () {
  var data = JSON.parse(document.getElementById('page-data').textContent || '{}');
  var config = data.config || {};
  var status = data.status || {};
  var savedSecrets = data.saved_secrets || [];
  var fields = []; // {section, key, kind, element, row, original}

  // What an administrator fills in first, in this order; every other key follows by section.
  var FIRST = ['Bitrix.host', 'Bitrix.user_login', 'Bitrix.user_password', 'Asterisk.user', 'Asterisk.password',
               'Database.host', 'Database.user', 'Database.password'];
  // The check that tests each section's values; a card stands only for the values it was run with.
  var CHECK_OF = { Database: 'database', Asterisk: 'asterisk', Bitrix: 'bitrix' };
  var HELP = {
    'App.prefixes': 'Prefixes cut from the front of a phone number before it is looked up in the CRM.',
    'App.trunk_to_source': 'Trunk name to CRM source id: calls through the trunk get this source.',
    'App.no_lead_mode': 'Register calls without a CRM entity instead of creating a lead for an unknown number.',
    'App.create_contacts_for_incoming': 'Create a contact for an incoming call from an unknown number.',
    'App.create_contacts_for_outgoing': 'Create a contact for an outgoing call to an unknown number.',
    'App.create_deals_for_incoming': 'Create a deal for an incoming call.',
    'App.create_deals_for_outgoing': 'Create a deal for an outgoing call.',
    'App.create_leads_for_incoming': 'Create a lead for an incoming call from an unknown number.',
    'App.create_leads_for_outgoing': 'Create a lead for an outgoing call to an unknown number.',
    'App.create_task_for_unanswered': 'Create a CRM task to call back after an unanswered incoming call.',
    'App.post_lead_info_to_chat': 'Post a note about each created lead to the CRM chat.',
    'App.create_new_activity_at_transfer': 'Open a new call activity for the employee a call is transferred to.',
    'App.history_start_date': 'Calls that began before this moment (yyyy-MM-dd HH:mm:ss) are not sent to the CRM.',
    'App.search_in_2gis': 'Look up the company of an unknown number in the company directory.',
    'App.store_recordings_in_crm': 'Upload call recordings to the CRM (off: link to them instead).',
    'App.generated_postfix': 'Appended to "generated", the directory of the saved state; one per service.',
    'App.log_level': 'Lowest level written to the log: debug, info, warning, critical or fatal.',
    'App.log_file': 'Path of the log file, in the folder of the log now; another folder is named in the configuration file itself. Empty: /var/log/calvena.log.',
    'App.locale': 'Dictionary of the texts the service writes to the CRM (a file in locales/).',
    'App.customizer_program_path': 'Script called with call data at the switched-on customization points.',
    'App.customize_search_params': 'Let the script change the parameters of the CRM search for a number.',
    'App.customize_final_params': 'Let the script change the data sent when a call is finished.',
    'App.customize_entity': 'Let the script change the fields of an entity before it is created.',
    'App.customize_activity': 'Let the script change the fields of a call activity.',
    'App.customize_task': 'Let the script change the fields of a task before it is created.',
    'App.customization_time_msec': 'How long the script may take, in milliseconds; then the data is used as it is.',
    'Asterisk.host': 'Address of the Asterisk manager interface (AMI).',
    'Asterisk.port': 'TCP port of the Asterisk manager interface, usually 5038.',
    'Asterisk.user': 'Manager user the service logs in with (a section of manager.conf), at most 79 bytes.',
    'Asterisk.password': 'Secret of that manager user.',
    'Asterisk.pickup_code': 'Dial code that picks up a ringing call, so a pickup is followed.',
    'Asterisk.recordings_dir': 'Directory of the call recordings on this host.',
    'Asterisk.recordings_dir_subdirs_by_date': 'Recordings are kept in year/month/day subdirectories.',
    'Asterisk.originate': 'Parameters of calls the service originates; #FROM# and #TO# are filled in.',
    'Asterisk.callback': 'Parameters of call-back calls; empty: the originate parameters.',
    'Bitrix.host': 'Address of the CRM portal, for example company.bitrix24.ru; only its scheme, host and port ' +
      'are kept.',
    'Bitrix.user_id': 'CRM user id the service acts as.',
    'Bitrix.user_login': 'Login of that CRM user.',
    'Bitrix.user_password': 'Password of that CRM user.',
    'Bitrix.execution_loop_interval_msec': 'Pause between two requests to the CRM, in milliseconds.',
    'Bitrix.cache_storage_time_min': 'How long CRM answers are cached, in minutes; 0: not cached.',
    'Bitrix.use_click_to_call_server': 'Receive click-to-call events through the relay server.',
    'Bitrix.use_external_lines': 'Register the PBX trunks as external lines in the CRM.',
    'Bitrix.fallback_users': 'CRM user ids that get a call when no responsible employee is found.',
    'Database.host': 'Host of the database with the Asterisk CEL and CDR tables.',
    'Database.port': 'TCP port of that database, usually 3306.',
    'Database.user': 'Database user allowed to read the CEL and CDR tables.',
    'Database.password': 'Password of that database user.',
    'Database.database': 'Name of the database that holds the tables.',
    'Database.table_name_aliases': 'Names of the cel and cdr tables in that database.',
    'Database.column_name_aliases': 'Names of the columns the service reads, where they differ.',
    'WebServer.listen_host': 'Address the HTTP server listens on; 0.0.0.0: every address.',
    'WebServer.listen_port': 'Port of the HTTP server (this page and the API).',
    'WebServer.listen_port_secure': 'Port of the HTTPS server (needs ssl/server.crt and ssl/server.key).',
    'WebServer.address_ext': 'Address at which the CRM portal reaches this service.',
    'WebServer.address_int': 'Address at which the local network reaches this service.',
    'WebServer.sockets_port': 'Port kept for the WebSocket server; not used.',
    'WebServer.user': 'User of this page and of the API.',
    'WebServer.password': 'Password of this page and of the API: at least 12 characters, 5 of them different.',
    'WebServer.use_http': 'Open the plain HTTP port.'
  };

  function text(tag, content, className) {
    var element = document.createElement(tag);
    if (content !== undefined) element.textContent = content;
    if (className) element.className = className;
    return element;
  }

  function kindOf(value) {
    if (typeof value === 'boolean') return 'bool';
    if (typeof value === 'number') return 'number';
    if (Array.isArray(value)) return 'list';
    if (value !== null && typeof value === 'object') return 'map';
    return 'string';
  }

  function isSecret(key) {
    return /password|secret|token/i.test(key);
  }

  // A password field shows whether one is saved; what it holds is only what was typed.
  function showSaved(input, name) {
    input.value = '';
    input.placeholder = savedSecrets.indexOf(name) >= 0 ? 'Saved: type a new one to replace it' : 'Not set';
  }

  // The portal address in the form (or saved) when it is plain http://: an on-site portal may serve only that.
  function plainPortalAddress() {
    var field = fields.filter(function (candidate) {
      return candidate.section === 'Bitrix' && candidate.key === 'host';
    })[0];
    var address = field ? field.element.value.trim() : ((config.Bitrix || {}).host || '');
    return /^http:\/\//i.test(address) ? address : '';
  }

  function renderStatus() {
    var box = document.getElementById('status');
    box.textContent = '';
    Object.keys(status).sort().forEach(function (name) {
      var value = status[name];
      var state = 'unknown';
      var detail = '';
      if (typeof value === 'boolean') {
        state = value ? 'ok' : 'failed';
        detail = value ? 'OK' : 'Failed';
      } else if (typeof value === 'number') {
        state = value === 0 ? 'ok' : 'failed';
        detail = 'code ' + value;
      } else if (value !== null && typeof value === 'object') {
        var code = value.status !== undefined ? value.status : value.code;
        // -1: the check has not run, which is no failure.
        if (code !== undefined && code !== -1) state = (code === 0 || code === true || code === 'OK') ? 'ok' : 'failed';
        detail = value.message || value.text || JSON.stringify(value);
      } else if (value !== null && value !== undefined) {
        detail = String(value);
      }
      var card = text('div', undefined, 'check ' + state);
      card.dataset.check = name;
      card.appendChild(text('div', name, 'name'));
      card.appendChild(text('div', detail, 'detail'));
      var plain = name === 'bitrix' && plainPortalAddress();
      if (plain) card.appendChild(text('div', 'The CRM login and password travel unencrypted to ' + plain, 'warning'));
      box.appendChild(card);
    });
    if (!box.childNodes.length) box.appendChild(text('div', 'No check has run yet.'));
  }

  function makeInput(key, kind, value) {
    var input;
    if (kind === 'bool') {
      input = document.createElement('input');
      input.type = 'checkbox';
      input.checked = value;
    } else if (kind === 'number') {
      input = document.createElement('input');
      input.type = 'number';
      input.step = 'any';
      input.value = String(value);
    } else if (kind === 'list' || kind === 'map') {
      input = document.createElement('textarea');
      input.value = JSON.stringify(value, null, 2);
      input.rows = Math.min(12, input.value.split('\n').length);
    } else {
      input = document.createElement('input');
      input.type = isSecret(key) ? 'password' : 'text';
      input.value = value === null ? '' : String(value);
    }
    return input;
  }

  function isSecretField(field) {
    return field.kind === 'string' && isSecret(field.key);
  }

  function addField(box, section, key, labelText) {
    var value = config[section][key];
    var kind = kindOf(value);
    var row = text('div', undefined, 'field');
    var id = 'f-' + section + '-' + key;
    var label = text('label', labelText);
    label.htmlFor = id;
    var input = makeInput(key, kind, value);
    if (kind === 'string' && isSecret(key)) showSaved(input, section + '.' + key);
    input.id = id;
    input.name = section + '.' + key;
    var error = text('div', '', 'error');
    row.appendChild(label);
    row.appendChild(input);
    row.appendChild(text('div', HELP[section + '.' + key] || '', 'help'));
    row.appendChild(error);
    box.appendChild(row);
    fields.push({ section: section, key: key, kind: kind, element: input, row: row, error: error, original: value });
  }

  function hasSection(section) {
    return config[section] !== null && typeof config[section] === 'object';
  }

  function renderForm() {
    var form = document.getElementById('config');
    form.textContent = '';
    fields = [];
    var first = text('section');
    first.dataset.section = 'first';
    first.appendChild(text('h2', 'To fill in first'));
    FIRST.forEach(function (name) {
      var parts = name.split('.');
      if (hasSection(parts[0]) && parts[1] in config[parts[0]]) addField(first, parts[0], parts[1], name);
    });
    if (fields.length) form.appendChild(first);
    Object.keys(config).sort().forEach(function (section) {
      if (!hasSection(section)) return;
      var box = text('section');
      box.dataset.section = section;
      box.appendChild(text('h2', section));
      Object.keys(config[section]).sort().forEach(function (key) {
        if (FIRST.indexOf(section + '.' + key) < 0) addField(box, section, key, key);
      });
      form.appendChild(box);
    });
  }

  // The values of the checked sections as typed, unsaved changes included; null when one is not valid.
  function typedSettings() {
    var settings = {};
    var invalid = false;
    fields.forEach(function (field) {
      if (!CHECK_OF[field.section]) return;
      var read = readField(field);
      if (read.error) {
        showError(field, read.error);
        invalid = true;
        return;
      }
      // Left out, the check uses the saved one, and only with the saved address; for another it says what to type.
      if (isSecretField(field) && read.value === '') return;
      (settings[field.section] = settings[field.section] || {})[field.key] = read.value;
    });
    return invalid ? null : settings;
  }

  function hasUnsavedChanges() {
    return fields.some(function (field) {
      var read = readField(field);
      return read.error || JSON.stringify(read.value) !== JSON.stringify(field.original);
    });
  }

  // The checks whose values were edited while the checks ran; null while none run.
  var editedWhileChecking = null;

  function markChanged(check) {
    var stale = { status: -1, message: 'Changed: run the checks for the values in the form' };
    status[check] = stale;
    if (status.general) status.general = stale;
  }

  // A value typed after the checks ran, or while they run: its card no longer says anything of it.
  function onEdited(event) {
    var field = fields.filter(function (candidate) { return candidate.element === event.target; })[0];
    var check = field && CHECK_OF[field.section];
    if (!check) return;
    if (editedWhileChecking) editedWhileChecking[check] = true;
    markChanged(check);
    renderStatus();
  }

  // All four checks and the general one, with the values in the form, and the answers in their cards.
  function runChecks() {
    clearErrors();
    keepPortalAddress();
    var settings = typedSettings();
    if (!settings) {
      setMessage('Checks not run: see the marked fields', 'failed');
      return;
    }
    var unsaved = hasUnsavedChanges();
    var button = document.getElementById('run-checks');
    button.disabled = true;
    Array.prototype.forEach.call(document.querySelectorAll('.check .detail'), function (detail) {
      detail.textContent = 'Checking...';
    });
    editedWhileChecking = {};
    var request = new XMLHttpRequest();
    request.open('POST', '/check_connections');
    request.setRequestHeader('Content-Type', 'application/json');
    request.onload = function () {
      button.disabled = false;
      var edited = editedWhileChecking;
      editedWhileChecking = null;
      var answer = {};
      try { answer = JSON.parse(request.responseText); } catch (e) { answer = {}; }
      if (request.status === 200 && answer.result) {
        status = answer.result;
        // An answer for values that were edited since is no answer for the form.
        Object.keys(edited).forEach(markChanged);
        renderStatus();
        setMessage(unsaved ? 'Checks done with the values in the form, which are not saved yet' : 'Checks done',
                   'ok');
      } else {
        renderStatus();
        setMessage('Checks not run: ' + (answer.error || ('HTTP ' + request.status)), 'failed');
      }
    };
    request.onerror = function () {
      button.disabled = false;
      editedWhileChecking = null;
      renderStatus();
      setMessage('Checks not run: the service did not answer', 'failed');
    };
    request.send(JSON.stringify(settings));
  }

  // A portal address copied from the browser names a page of the portal: only its scheme, host and port
  // are kept, as the service keeps them, and the field says so.
  function keepPortalAddress() {
    var field = fields.filter(function (candidate) {
      return candidate.section === 'Bitrix' && candidate.key === 'host';
    })[0];
    if (!field) return;
    var typed = field.element.value.trim();
    var url;
    try { url = new URL(typed.indexOf('://') < 0 ? 'https://' + typed : typed); } catch (e) { return; }
    if (!typed || (url.pathname === '/' && !url.search && !url.hash && !url.username)) return;
    field.element.value = url.protocol + '//' + url.host;
    field.error.textContent = 'Kept as ' + field.element.value + ': a portal address is its scheme, host and port';
    field.row.classList.add('noted');
  }

  // The value of a field as the JSON type of its original; undefined with an error text when it is not.
  function readField(field) {
    var input = field.element;
    if (field.kind === 'bool') return { value: input.checked };
    if (field.kind === 'number') {
      var number = Number(input.value);
      if (input.value.trim() === '' || !isFinite(number)) return { error: 'A number is expected' };
      return { value: number };
    }
    if (field.kind === 'list' || field.kind === 'map') {
      try {
        var parsed = JSON.parse(input.value);
        if (field.kind === 'list' && !Array.isArray(parsed)) return { error: 'A JSON list is expected' };
        if (field.kind === 'map' && (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)))
          return { error: 'A JSON object is expected' };
        return { value: parsed };
      } catch (e) {
        return { error: 'Invalid JSON: ' + e.message };
      }
    }
    return { value: input.value };
  }

  function setMessage(content, state) {
    var message = document.getElementById('message');
    message.textContent = content;
    message.className = state || '';
  }

  function clearErrors() {
    fields.forEach(function (field) {
      field.error.textContent = '';
      field.row.classList.remove('invalid');
      field.row.classList.remove('noted');
    });
  }

  function showError(field, content) {
    field.error.textContent = content;
    field.row.classList.add('invalid');
  }

  // Error keys are the setting's key, or "section.key" / "section/key" when the server names the section.
  function showServerErrors(errors) {
    var unplaced = [];
    Object.keys(errors).forEach(function (name) {
      var parts = name.split(/[./]/);
      // An element of a list or map ("prefixes[0]") is shown at its key.
      var key = parts[parts.length - 1].replace(/\[.*$/, '');
      var section = parts.length > 1 ? parts[0] : null;
      var matches = fields.filter(function (field) {
        return field.key === key && (section === null || field.section === section);
      });
      if (!matches.length) unplaced.push(name + ': ' + errors[name]);
      matches.forEach(function (field) { showError(field, errors[name]); });
    });
    setMessage('Not saved' + (unplaced.length ? ': ' + unplaced.join('; ') : ': see the marked fields'), 'failed');
  }

  function save() {
    clearErrors();
    keepPortalAddress();
    var changes = {};
    var invalid = false;
    fields.forEach(function (field) {
      var read = readField(field);
      if (read.error) {
        showError(field, read.error);
        invalid = true;
        return;
      }
      if (JSON.stringify(read.value) === JSON.stringify(field.original)) return;
      (changes[field.section] = changes[field.section] || {})[field.key] = read.value;
    });
    if (invalid) {
      setMessage('Not saved: see the marked fields', 'failed');
      return;
    }
    if (!Object.keys(changes).length) {
      setMessage('Nothing changed', 'ok');
      return;
    }
    var button = document.getElementById('save');
    button.disabled = true;
    setMessage('Saving...');
    var request = new XMLHttpRequest();
    request.open('POST', window.location.pathname);
    request.setRequestHeader('Content-Type', 'application/json');
    request.onload = function () {
      button.disabled = false;
      var answer = {};
      try { answer = JSON.parse(request.responseText); } catch (e) { answer = {}; }
      if (request.status === 200) {
        fields.forEach(function (field) {
          var section = changes[field.section];
          if (!section || !Object.prototype.hasOwnProperty.call(section, field.key)) return;
          field.original = section[field.key];
          if (!isSecretField(field)) return;
          // Saved: the page lets go of it.
          var name = field.section + '.' + field.key;
          if (savedSecrets.indexOf(name) < 0) savedSecrets.push(name);
          field.original = '';
          showSaved(field.element, name);
        });
        setMessage(answer.note || 'Saved', 'ok');
      } else if (request.status === 422 && answer.errors) {
        showServerErrors(answer.errors);
      } else {
        setMessage('Not saved: ' + (answer.error || ('HTTP ' + request.status)), 'failed');
      }
    };
    request.onerror = function () {
      button.disabled = false;
      setMessage('Not saved: the service did not answer', 'failed');
    };
    request.send(JSON.stringify(changes));
  }

  renderStatus();
  renderForm();
  document.getElementById('save').addEventListener('click', save);
  document.getElementById('run-checks').addEventListener('click', runChecks);
  document.getElementById('config').addEventListener('input', onEdited);
  document.getElementById('config').addEventListener('change', function (event) {
    if (event.target.name === 'Bitrix.host') keepPortalAddress();
  });
  document.body.dataset.ready = 'true';
})();
